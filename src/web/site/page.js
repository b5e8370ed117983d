// The page around the show (demo.js, from page.cpp): the canvas, the sound through an
// AudioWorklet, the buttons, the progress line. URL parameters:
//   ?section=N    start section (0 to 4), also the choice on the page
//   ?play         start at once (a browser that allows sound without a gesture)
//   ?check=LIST   a check run in virtual time, as demo-play --fast: LIST is comma-
//                 separated frames ([prelude:]N) at which to report digests
// Keys: Space starts and stops the show, F toggles full screen. Browsers hold sound back
// until the viewer has clicked or pressed a key: the first one starts it; where no sound
// starts within a few seconds, the page says so and offers to play without sound.
// What the runs report is in window.demo: state, progress (with the sound device's
// frames, underruns and longest feed gap, and the sound output's underruns),
// checkpoints, summary (the digest of every byte written to the sound device, when the
// show returned), the sound output's counts, and when each picture went to the canvas
// (pictures: wall-clock ms and what the sound device had played when it was taken).
'use strict';

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);
const demo = (window.demo = {
  state: 'loading', // loading, ready, running, ended, failed
  status: null, // the show's exit status
  progress: null,
  checkpoints: [],
  summary: null,
  firstPictureMs: null, // from the page's start to the first picture on the canvas
  sound: { played: 0, pulled: 0, feeds: 0, held: 0, silent: false },
  pictures: [],
});
// How long the sound may take to start before the page offers to play without it.
const SOUND_START_MS = 4000;

function say(text) {
  $('message').textContent = text;
  $('message').hidden = !text;
}
function fail(text) {
  demo.state = 'failed';
  demo.error = text;
  say(text);
  $('play').disabled = true;
}

// --- what the browser must have ----------------------------------------------------------
const hasWasm = typeof WebAssembly === 'object' && typeof WebAssembly.instantiate === 'function';
const AudioContextClass = window.AudioContext || window.webkitAudioContext;
// Browsers give AudioWorklet only to pages from https or from this machine (Chromium
// keeps AudioWorkletNode elsewhere, but no audioWorklet to load it into).
const hasAudio = !!AudioContextClass && typeof AudioWorkletNode === 'function' && 'audioWorklet' in AudioContextClass.prototype;

// --- the canvas ----------------------------------------------------------------------------
// As large as the window takes with the controls in view: a whole multiple of the box's
// 640 x 480 where one fits (every pixel of the box the same square), else scaled down.
const canvas = $('screen');
function fit() {
  const main = document.querySelector('main');
  const style = getComputedStyle(main);
  const width = main.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
  const below = main.getBoundingClientRect().height - canvas.getBoundingClientRect().height;
  const height = window.innerHeight - below;
  const fits = Math.min(width / 640, height / 480);
  const scale = fits >= 1 ? Math.floor(fits) : Math.max(fits, 0.1);
  canvas.style.width = `${Math.floor(640 * scale)}px`;
  canvas.style.height = `${Math.floor(480 * scale)}px`;
}
window.addEventListener('resize', fit);
// What is below the canvas changes height too: the controls wrap onto more lines as the
// progress line grows, a message and the offer to play without sound come and go.
const resized = new ResizeObserver(fit);
for (const id of ['controls', 'message', 'silent']) resized.observe($(id));
fit();
const context2d = canvas.getContext('2d', { alpha: false });

// The newest screen the show handed over (its bytes in the canvas's order, where
// pixels() finds them), drawn at the browser's next frame: screens handed over
// between two frames would never be seen.
let pending = null;
function present(pixels, played) {
  if (!pending) requestAnimationFrame(draw);
  pending = { pixels, played };
}
function draw() {
  const { pixels, played } = pending;
  pending = null;
  context2d.putImageData(new ImageData(pixels(), 640, 480), 0, 0);
  const now = performance.now();
  if (demo.firstPictureMs === null) demo.firstPictureMs = now;
  if (demo.pictures.length < 20000) demo.pictures.push([performance.timeOrigin + now, played]);
}

function fullScreen() {
  // A refused request (no full screen in this frame, or no gesture) leaves the page as it
  // was.
  if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
  else if (canvas.requestFullscreen) canvas.requestFullscreen().catch(() => {});
}
$('fullscreen').onclick = fullScreen;
// The viewer's Stop: the show hears it at once, or as soon as it runs (its module may
// still be on its way).
let stopWanted = false;
function stop() {
  stopWanted = true;
  if (demo.stop) demo.stop();
}
document.addEventListener('keydown', (e) => {
  if (e.ctrlKey || e.altKey || e.metaKey || e.target.tagName === 'SELECT') return;
  // Space on a focused button other than Play presses that button, as a browser's does.
  if (e.key === ' ' && e.target.tagName === 'BUTTON' && e.target !== $('play') && !e.target.hidden) return;
  if (e.key !== ' ' && e.key !== 'f' && e.key !== 'F') return;
  e.preventDefault();
  if (e.repeat) return;
  // Space is the Play / Stop button's press: it does what the button says, and nothing
  // while the button cannot be pressed.
  if (e.key === ' ') $('play').click();
  else fullScreen();
});

// --- the progress line ----------------------------------------------------------------------
function progress(section, done, total, showSeconds, framesSent, underruns, longestFeedGapMs, outputUnderruns) {
  demo.progress = { section, frame: done, total, seconds: showSeconds, framesSent, underruns, longestFeedGapMs, outputUnderruns };
  const percent = total > 0 ? Math.min(100, Math.floor((done * 100) / total)) : 0;
  const bar = '#'.repeat(percent / 5) + '.'.repeat(20 - Math.floor(percent / 5));
  // To a tenth, rounded as a whole: 59.96 s is 1:00.0, not 0:60.0.
  const tenths = Math.round(showSeconds * 10);
  const minutes = Math.floor(tenths / 600);
  const seconds = ((tenths % 600) / 10).toFixed(1).padStart(4, '0');
  $('progress').textContent = `[${bar}] ${String(percent).padStart(3)}%  ${section.padEnd(10)} ${minutes}:${seconds}`;
}

// --- the box's files, fetched once ----------------------------------------------------------
async function fetchBytes(url) {
  const response = await fetch(url);
  if (!response.ok) throw new Error(`cannot fetch ${url}: ${response.status}`);
  return new Uint8Array(await response.arrayBuffer());
}
const boxFiles = fetchBytes('box/files.json')
  .then((bytes) => JSON.parse(new TextDecoder().decode(bytes)))
  .then((paths) => Promise.all(paths.map(async (path) => [path, await fetchBytes('box' + path)])));

// --- one run of the show ----------------------------------------------------------------------
// What the show's own exit statuses say (the show itself says nothing).
const EXITS = {
  2: 'its data file or its logo picture cannot be opened',
  5: 'it could not set up its screen or its sound, or its data file is damaged',
  12: 'it ran out of memory',
};
// How a run ended, on the progress line; a show that ended neither at its end nor by a
// stop also says why.
function ended(status) {
  if (status === 0) $('progress').textContent = `[${'#'.repeat(20)}] 100%  the end`;
  else if (status > 128) $('progress').textContent = `stopped (exit status ${status})`;
  else {
    $('progress').textContent = `ended (exit status ${status})`;
    say(`The show ended with exit status ${status}${EXITS[status] ? `: ${EXITS[status]}` : ''}.`);
  }
}

// A fresh module a run: the show's state starts at zero once in a module.
async function run(commandLine, sound) {
  const files = await boxFiles;
  let exit, crash;
  const exited = new Promise((resolve, reject) => ((exit = resolve), (crash = reject)));
  const hooks = {
    // A sleep ends in a turn of its own: the show's next timer is then not one set from
    // inside a timer, which browsers hold to 4 ms at least after a few in a row.
    yield: (sleepMs) => new Promise((resolve) => (sleepMs > 0 ? setTimeout(() => turn(resolve), sleepMs) : turn(resolve))),
    present: (ptr, played) => present(() => new Uint8ClampedArray(module.HEAPU8.buffer, ptr, 640 * 480 * 4), played),
    sound: (ptr, frames) => sound.feed(module.HEAPF32.slice(ptr >> 2, (ptr >> 2) + 2 * frames)),
    discard: () => sound.post('discard'),
    held: () => sound.held,
    pulls: sound.pulls,
    progress,
    checkpoint: (label, screen, dspBytes, dsp) => demo.checkpoints.push({ label, screen, dspBytes, dsp }),
    summary: (dspBytes, dsp) => (demo.summary = { dspBytes, dsp }),
  };
  const module = await createDemo({
    page: hooks,
    print: (text) => console.log(text),
    printErr: (text) => console.warn(text),
    // The show ends itself with exit (a failure, or stopped): the status comes here.
    quit: (status, toThrow) => {
      exit(status);
      throw toThrow;
    },
  });
  for (const [path, bytes] of files) {
    module.FS.mkdirTree('/box' + path.slice(0, path.lastIndexOf('/')));
    module.FS.writeFile('/box' + path, bytes);
  }
  demo.state = 'running';
  demo.status = demo.progress = null;
  // Straight to the export: ccall would wait for the show's pending turn to end.
  demo.stop = () => module._page_stop();
  // A show that ends before its first turn (a damaged data file) ends inside the call.
  try {
    module.ccall('page_run', 'number', ['string'], [commandLine], { async: true }).then(exit, (e) => {
      if (!e || e.name !== 'ExitStatus') crash(e);
    });
  } catch (e) {
    if (!e || e.name !== 'ExitStatus') throw e;
  }
  if (stopWanted) demo.stop();
  try {
    demo.status = await exited;
  } finally {
    demo.stop = null;
  }
  demo.state = 'ended';
  ended(demo.status);
  return demo.status;
}

// A turn of the event loop without a timer's delay.
const channel = new MessageChannel();
const turns = [];
channel.port1.onmessage = () => turns.shift()();
function turn(resolve) {
  turns.push(resolve);
  channel.port2.postMessage(0);
}

// --- sound -------------------------------------------------------------------------------------
// The AudioContext, once running, with the worklet that plays the show's sound; its
// pulls go to `pulls` as (ms, frames, frames of sound), for the show's clock.
async function openSound(audio) {
  await audio.audioWorklet.addModule('sound.js');
  const node = new AudioWorkletNode(audio, 'show-sound', { numberOfInputs: 0, outputChannelCount: [2] });
  node.connect(audio.destination);
  const pulls = [];
  node.port.onmessage = (e) => {
    const [frames, sound] = e.data;
    pulls.push(performance.now(), frames, sound);
    demo.sound.pulled += frames;
    demo.sound.played += sound;
  };
  // What the output holds in front of the loudspeaker when the worklet is asked for
  // more: the browser's own buffer and the sound system's. Firefox answers
  // outputLatency by asking its sound server while it holds its audio graph's lock; the
  // server can be waiting on the audio callback then, which waits on that lock, and the
  // page's thread hangs for good (seen with PulseAudio: a driven page stopped answering
  // just after its sound started). There the page takes the figure Firefox itself gives
  // for Linux when it hides the real one: 25 ms.
  const outputLatency = /\bFirefox\//.test(navigator.userAgent) ? 0.025 : audio.outputLatency || 0;
  const held = Math.round(((audio.baseLatency || 0) + outputLatency) * audio.sampleRate);
  demo.sound.held = held;
  return {
    audio,
    pulls,
    held,
    feed: (samples) => {
      if (demo.sound.feeds++ === 0) demo.sound.firstFedAt = performance.timeOrigin + performance.now();
      envelope(samples);
      node.port.postMessage(samples, [samples.buffer]);
    },
    post: (message) => node.port.postMessage(message),
  };
}

// The loudness of the sound fed, mono, in blocks of 1 ms (48 frames), for its first
// 30 s: what a recording of the output is set against.
demo.sound.envelope = [];
const block = { sum: 0, frames: 0 };
function envelope(samples) {
  for (let i = 0; i + 1 < samples.length && demo.sound.envelope.length < 30000; i += 2) {
    block.sum += ((samples[i] + samples[i + 1]) / 2) ** 2;
    if (++block.frames === 48) {
      demo.sound.envelope.push(Math.sqrt(block.sum / 48));
      block.sum = block.frames = 0;
    }
  }
}

// No sound: the box's sound device drains by its own clock, the pictures go straight
// to the canvas.
const noSound = { pulls: [], held: -1, feed: () => {}, post: () => {} };

// Why this browser cannot play the page's sound at all, or null.
const withoutAudio = hasAudio
  ? null
  : window.isSecureContext
    ? 'For its sound this page needs Web Audio with AudioWorklet, which this browser does not have (or has turned off).'
    : `For its sound this page needs Web Audio with AudioWorklet, which browsers give only to pages served over https or from this machine: open it over https, or as http://localhost:${location.port || 80}/ on the machine that serves it.`;

// The sound, once the browser lets it start: at once when it allows sound, at the
// viewer's first click or key when it waits for one. Where none has started after a
// few seconds, or none can, the page says so and offers to play without sound.
function startSound() {
  const audio = withoutAudio ? null : new AudioContextClass({ sampleRate: 48000, latencyHint: 'playback' });
  return new Promise((resolve) => {
    let settled = false, opening = false, timer;
    const settle = (sound) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      document.removeEventListener('pointerdown', resume, true);
      document.removeEventListener('keydown', resume, true);
      $('silent').hidden = true;
      say('');
      if (sound === noSound && audio) audio.close().catch(() => {});
      resolve(sound);
    };
    const running = () => {
      if (audio.state !== 'running' || settled || opening) return;
      opening = true;
      openSound(audio).then(settle, (e) => {
        if (settled) return; // the viewer chose to play without sound
        clearTimeout(timer); // the reason stays on the page
        say(`The sound cannot start: ${e.message || e}`);
        offer();
      });
    };
    // Not for the press of "Play without sound": that is the viewer's no to sound.
    const resume = (e) => (e && e.target === $('silent') ? undefined : audio.resume().then(running, () => {}));
    const offer = () => {
      $('silent').hidden = false;
      $('silent').onclick = () => settle(noSound);
    };
    if (!audio) {
      say(withoutAudio);
      offer();
      return;
    }
    timer = setTimeout(() => {
      if (settled) return;
      say(`No sound has started in ${SOUND_START_MS / 1000} seconds: this browser may have no sound output, or holds it back.`);
      offer();
    }, SOUND_START_MS);
    audio.onstatechange = running;
    document.addEventListener('pointerdown', resume, true);
    document.addEventListener('keydown', resume, true);
    if (audio.state !== 'running') say('Click or press a key to start the sound.');
    resume();
  });
}

// A run as the viewer starts it, from the section chosen; again once it has ended.
async function play() {
  if (demo.state !== 'ready' && demo.state !== 'ended') return;
  demo.state = 'starting';
  stopWanted = false;
  $('play').disabled = true;
  const section = $('section').value;
  let sound = null;
  try {
    sound = await startSound();
    demo.sound.silent = sound === noSound;
    $('play').textContent = 'Stop';
    $('play').disabled = false;
    $('play').onclick = stop;
    await run(section, sound);
  } catch (e) {
    fail(`The show failed: ${e.message || e}`);
    return;
  } finally {
    // Not waited for: a run started again at once is the next one's, with a context of
    // its own.
    if (sound && sound.audio) sound.audio.close().catch(() => {});
  }
  $('play').textContent = 'Play again';
  $('play').onclick = play;
}

async function check(list) {
  const args = ['--fast'];
  for (const point of list.split(',')) args.push('--shot', `${point}:${point}`);
  const section = params.get('section');
  if (section !== null) args.push(section);
  try {
    await run(args.join('\n'), noSound);
  } catch (e) {
    fail(`The check cannot run: ${e.message || e}`);
  }
}

// --- start ---------------------------------------------------------------------------------------
if (!hasWasm) {
  fail('This page needs WebAssembly, which this browser does not have (or has turned off).');
} else {
  if (withoutAudio) say(withoutAudio);
  if (params.has('section')) $('section').value = params.get('section');
  boxFiles.then(
    () => {
      demo.state = 'ready';
      $('progress').textContent = 'ready';
      $('play').disabled = false;
      $('play').onclick = play;
      if (params.has('check')) check(params.get('check'));
      else if (params.has('play')) play();
    },
    (e) => fail(`The show's files cannot be fetched: ${e.message}`),
  );
}
