// The page around the show (demo.js, from page.cpp): the canvas, the sound through an
// AudioWorklet, the buttons, the progress line. URL parameters:
//   ?section=N    start section (0 to 4), also the choice on the page
//   ?play         start at once (a browser that allows sound without a gesture)
//   ?check=LIST   a check run in virtual time, as demo-play --fast: LIST is comma-
//                 separated frames ([prelude:]N) at which to report digests
// What the runs report is in window.demo: state, progress (with the sound device's
// frames, underruns and longest feed gap), checkpoints, summary (the digest of every
// byte written to the sound device, when the show returned), the sound output's counts.
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
  sound: { played: 0, underruns: 0, dryFrames: 0, feeds: 0 },
});

function fail(text) {
  demo.state = 'failed';
  demo.error = text;
  $('message').textContent = text;
  $('message').hidden = false;
  $('play').disabled = true;
}

// --- what the browser must have ----------------------------------------------------------
const hasWasm = typeof WebAssembly === 'object' && typeof WebAssembly.instantiate === 'function';
const AudioContextClass = window.AudioContext || window.webkitAudioContext;
const hasAudio = !!AudioContextClass && typeof AudioWorkletNode === 'function';

// --- the canvas ----------------------------------------------------------------------------
const canvas = $('screen');
const context2d = canvas.getContext('2d', { alpha: false });
const image = context2d.createImageData(640, 480);
const pixels = new Uint32Array(image.data.buffer);

function draw(rgb) {
  // 0xRRGGBB words to the canvas's bytes R, G, B, A in memory.
  for (let i = 0; i < pixels.length; i++) {
    const p = rgb[i];
    pixels[i] = 0xff000000 | ((p & 0xff) << 16) | (p & 0xff00) | ((p >>> 16) & 0xff);
  }
  context2d.putImageData(image, 0, 0);
  if (demo.firstPictureMs === null) demo.firstPictureMs = performance.now();
}

function fullScreen() {
  if (document.fullscreenElement) document.exitFullscreen();
  else if (canvas.requestFullscreen) canvas.requestFullscreen();
}
$('fullscreen').onclick = fullScreen;
document.addEventListener('keydown', (e) => {
  if (e.key === 'f' || e.key === 'F') fullScreen();
});

// --- the progress line ----------------------------------------------------------------------
function progress(section, done, total, showSeconds, framesSent, underruns, longestFeedGapMs) {
  demo.progress = { section, frame: done, total, seconds: showSeconds, framesSent, underruns, longestFeedGapMs };
  const percent = total > 0 ? Math.min(100, Math.floor((done * 100) / total)) : 0;
  const bar = '#'.repeat(percent / 5) + '.'.repeat(20 - Math.floor(percent / 5));
  const minutes = Math.floor(showSeconds / 60);
  const seconds = (showSeconds % 60).toFixed(1).padStart(4, '0');
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
// A fresh module a run: the show's state starts at zero once in a module.
async function run(commandLine, sound) {
  const files = await boxFiles;
  let ended;
  const exited = new Promise((resolve) => (ended = resolve));
  const hooks = {
    yield: (sleep) => new Promise((resolve) => (sleep ? setTimeout(resolve, 0) : turn(resolve))),
    present: (ptr) => draw(module.HEAPU32.subarray(ptr >> 2, (ptr >> 2) + 640 * 480)),
    sound: (ptr, frames) => sound.feed(module.HEAPF32.slice(ptr >> 2, (ptr >> 2) + 2 * frames)),
    stream: () => sound.post('stream'),
    discard: () => sound.post('discard'),
    played: () => demo.sound.played,
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
      ended(status);
      throw toThrow;
    },
  });
  for (const [path, bytes] of files) {
    module.FS.mkdirTree('/box' + path.slice(0, path.lastIndexOf('/')));
    module.FS.writeFile('/box' + path, bytes);
  }
  demo.state = 'running';
  // Straight to the export: ccall would wait for the show's pending turn to end.
  demo.stop = () => module._page_stop();
  module.ccall('page_run', 'number', ['string'], [commandLine], { async: true }).then(ended, (e) => {
    if (e && e.name !== 'ExitStatus') fail(`the show failed: ${e}`);
  });
  demo.status = await exited;
  demo.state = 'ended';
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
async function openSound() {
  const audio = new AudioContextClass({ sampleRate: 48000, latencyHint: 'playback' });
  await audio.audioWorklet.addModule('sound.js');
  const node = new AudioWorkletNode(audio, 'show-sound', { numberOfInputs: 0, outputChannelCount: [2] });
  node.connect(audio.destination);
  node.port.onmessage = (e) => Object.assign(demo.sound, e.data);
  await audio.resume();
  return {
    audio,
    feed: (samples) => {
      demo.sound.feeds++;
      node.port.postMessage(samples, [samples.buffer]);
    },
    post: (message) => node.port.postMessage(message),
  };
}

async function play() {
  $('play').disabled = true;
  const section = $('section').value;
  try {
    const sound = await openSound();
    $('play').textContent = 'Stop';
    $('play').disabled = false;
    $('play').onclick = () => demo.stop();
    const status = await run(section, sound);
    $('progress').textContent = status === 0 ? `[${'#'.repeat(20)}] 100%  the end` : `stopped (exit status ${status})`;
    await sound.audio.close();
  } catch (e) {
    fail(`The show cannot start: ${e.message || e}`);
    return;
  }
  $('play').textContent = 'Play again';
  $('play').onclick = () => location.reload();
}

async function check(list) {
  const args = ['--fast'];
  for (const point of list.split(',')) args.push('--shot', `${point}:${point}`);
  const section = params.get('section');
  if (section !== null) args.push(section);
  const noSound = { feed: () => {}, post: () => {} };
  try {
    await run(args.join('\n'), noSound);
  } catch (e) {
    fail(`The check cannot run: ${e.message || e}`);
  }
}

// --- start ---------------------------------------------------------------------------------------
if (!hasWasm) {
  fail('This page needs WebAssembly, which this browser does not have (or has turned off).');
} else if (!hasAudio && !params.has('check')) {
  fail('This page needs Web Audio with AudioWorklet, which this browser does not have (or has turned off).');
} else {
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
