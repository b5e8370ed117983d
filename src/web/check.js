// Checks the web page in headless Chromium and Firefox, each driven by puppeteer-core,
// with a PulseAudio of the check's own (a null sink, recorded) as their sound output:
//  1. a check run (virtual time) gives, at chosen frames, the same screen and the same
//     bytes to the sound device as the build machine's demo-record, and the same whole
//     stream of bytes and exit status; on a damaged data file, the same exit status,
//     and the page says why the show ended;
//  2. without WebAssembly the page says so; without AudioWorklet (as on a page served
//     over plain http from another machine) it says why there is no sound and plays
//     without it; where the sound cannot start it says why; "Play without sound",
//     pressed while the browser holds the sound back, plays without sound;
//  3. the title names the show, the canvas fits a tall narrow window with the controls
//     in view, F toggles full screen, Space presses a focused button, Stop clicked or
//     Space pressed while the show is still loading stops it; Play again and Space play
//     it again, also at once after a stop whose sound is still closing, in a small
//     window with the controls in view;
//  4. a live run, started by the viewer's click under load (a busy process beside the
//     browser), plays at least 20 s without an underrun, shows the show at twice its
//     size in a 1920 x 1080 window with the controls in view, and stops at Space; the
//     pictures are set against the sound as recorded from the sink;
//  5. where no sound server answers, the page says so and plays without sound.
// With --whole-show it plays the whole show live instead and reports the figures.
//
// node check.js --site DIR --browsers chromium=PATH,firefox=PATH --puppeteer DIR
//   --reference DEMO-RECORD --work DIR [--whole-show]
'use strict';

const { spawn, spawnSync, execFileSync } = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const path = require('path');
const zlib = require('zlib');

const args = {};
for (let i = 2; i < process.argv.length; i++) {
  const name = process.argv[i].replace(/^--/, '');
  args[name] = process.argv[i + 1] && !process.argv[i + 1].startsWith('--') ? process.argv[++i] : true;
}
const failures = [];
const expect = (ok, what) => {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`);
  if (!ok) failures.push(what);
};
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const sha256 = (...parts) => {
  const hash = crypto.createHash('sha256');
  for (const part of parts) hash.update(part);
  return hash.digest('hex');
};

// --- PNG, as the tools and the browser write it: 8-bit, palette or truecolour ----------------
function readPng(file) {
  const data = fs.readFileSync(file);
  let at = 8;
  let width, height, type, palette = Buffer.alloc(0);
  const idat = [];
  while (at < data.length) {
    const length = data.readUInt32BE(at);
    const kind = data.toString('latin1', at + 4, at + 8);
    const body = data.subarray(at + 8, at + 8 + length);
    if (kind === 'IHDR') {
      width = body.readUInt32BE(0);
      height = body.readUInt32BE(4);
      if (body[8] !== 8 || body[12] !== 0) throw new Error(`${file}: not an 8-bit, non-interlaced PNG`);
      type = body[9];
    } else if (kind === 'PLTE') palette = body;
    else if (kind === 'IDAT') idat.push(body);
    at += 12 + length;
  }
  const bpp = { 0: 1, 2: 3, 3: 1, 4: 2, 6: 4 }[type];
  const raw = zlib.inflateSync(Buffer.concat(idat));
  const stride = width * bpp;
  const pixels = Buffer.alloc(stride * height);
  for (let y = 0; y < height; y++) {
    const filter = raw[y * (stride + 1)];
    const line = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    for (let x = 0; x < stride; x++) {
      const a = x >= bpp ? pixels[y * stride + x - bpp] : 0;
      const b = y > 0 ? pixels[(y - 1) * stride + x] : 0;
      const c = x >= bpp && y > 0 ? pixels[(y - 1) * stride + x - bpp] : 0;
      let v = line[x];
      if (filter === 1) v += a;
      else if (filter === 2) v += b;
      else if (filter === 3) v += (a + b) >> 1;
      else if (filter === 4) {
        const p = a + b - c, pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c);
        v += pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      }
      pixels[y * stride + x] = v & 0xff;
    }
  }
  return { width, height, bpp, pixels, palette };
}

// --- a static file server for the site, and for the check's own files under /work/ ----------------
// It holds back the files named in `slow` (name: ms) that long, as a slow network would,
// and serves the files named in `replaced` (name: file) from elsewhere.
const slow = {};
const replaced = {};
const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm', '.json': 'application/json', '.mp4': 'video/mp4' };
function serve(site, work) {
  const server = http.createServer(async (request, response) => {
    let name = decodeURIComponent(new URL(request.url, 'http://x').pathname);
    if (slow[name]) await sleep(slow[name]);
    let root = site;
    if (name.startsWith('/work/')) [root, name] = [work, name.slice(5)];
    const file = replaced[name] || path.join(root, name);
    if (!file.startsWith(replaced[name] ? work : root) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
      response.writeHead(404).end();
      return;
    }
    // A video element seeks by asking for byte ranges.
    const size = fs.statSync(file).size;
    const range = /^bytes=(\d+)-(\d*)$/.exec(request.headers.range || '');
    const [start, end] = range ? [Number(range[1]), range[2] ? Math.min(Number(range[2]), size - 1) : size - 1] : [0, size - 1];
    const headers = { 'Content-Type': types[path.extname(file)] || 'application/octet-stream', 'Accept-Ranges': 'bytes', 'Content-Length': end - start + 1 };
    if (range) headers['Content-Range'] = `bytes ${start}-${end}/${size}`;
    response.writeHead(range ? 206 : 200, headers);
    if (size > 0) fs.createReadStream(file, { start, end }).pipe(response);
    else response.end();
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// --- the browsers, driven by puppeteer-core: Chromium over the DevTools protocol, Firefox
// over WebDriver BiDi. Neither gets a flag that lets sound start without the viewer's
// click or key: the checks click and press keys as a viewer would. Both take the host
// name box.test for this machine: a page from there is not from localhost, as one from
// another machine on the network would not be.
const puppeteer = require(path.resolve(args.puppeteer));

async function launch(name, executablePath, env) {
  const options = name === 'firefox'
    ? { browser: 'firefox', protocol: 'webDriverBiDi', extraPrefsFirefox: { 'fullscreen.transition_duration.enter': '0 0', 'fullscreen.transition_duration.leave': '0 0', 'network.dns.localDomains': 'box.test' } }
    : { args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update', '--no-first-run', '--host-resolver-rules=MAP box.test 127.0.0.1'] };
  // Puppeteer mutes Chromium by default: the checks record what it plays.
  const browser = await puppeteer.launch({ ...options, executablePath, headless: true, env: { ...process.env, ...env },
    ignoreDefaultArgs: ['--mute-audio'], protocolTimeout: 20 * 60 * 1000 });
  return {
    name,
    // A page at url in a window of the given size; before its own scripts run, `before`
    // (script text) does.
    async open(url, { before, width = 1320, height = 1060 } = {}) {
      const tab = await browser.newPage();
      await tab.setViewport({ width, height });
      if (before) await tab.evaluateOnNewDocument(before);
      await tab.goto(url);
      const page = {
        tab,
        eval: (expression) => tab.evaluate(expression),
        // window.demo, once test(demo) holds (polled), or after timeoutMs.
        until: async (test, timeoutMs) => {
          const end = Date.now() + timeoutMs;
          for (;;) {
            const demo = await tab.evaluate('window.demo && JSON.parse(JSON.stringify({ ...window.demo, pictures: window.demo.pictures.length, sound: { ...window.demo.sound, envelope: undefined } }))');
            if ((demo && test(demo)) || Date.now() > end) return demo;
            await sleep(250);
          }
        },
        // Where an element is on the page: [x, y, width, height], rounded.
        rect: (id) => tab.evaluate(`(() => { const r = document.getElementById('${id}').getBoundingClientRect(); return [r.x, r.y, r.width, r.height].map(Math.round); })()`),
        message: () => tab.evaluate('(() => { const m = document.getElementById("message"); return m.hidden ? "" : m.textContent; })()'),
        close: () => tab.close(),
      };
      return page;
    },
    close: () => browser.close(),
  };
}

// --- a sound server of the checks' own: PulseAudio with a null sink, recorded -----------------
class SoundServer {
  static async start(dir) {
    const run = path.join(dir, 'pulse');
    fs.mkdirSync(run, { recursive: true, mode: 0o700 });
    const env = { XDG_RUNTIME_DIR: run, PULSE_RUNTIME_PATH: run, PULSE_SERVER: `unix:${run}/native` };
    const server = new SoundServer(env);
    server.process = spawn('pulseaudio', ['-n', '--daemonize=no', '--exit-idle-time=-1', '--disallow-exit',
      '-L', `module-native-protocol-unix socket=${run}/native auth-anonymous=1`,
      '-L', 'module-null-sink sink_name=out rate=48000 channels=2'], { env: { ...process.env, ...env }, stdio: 'ignore' });
    for (let i = 0; i < 100; i++) {
      try {
        if (execFileSync('pactl', ['info'], { env: { ...process.env, ...env }, encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] }).includes('Default Sink: out')) return server;
      } catch (e) {}
      await sleep(100);
    }
    server.stop();
    throw new Error('the sound server did not start');
  }
  constructor(env) {
    this.env = env;
  }
  // Records the sink as heard: mono samples, and the wall-clock ms of the first of them
  // (each block that arrives bounds it: its last sample had played when it arrived).
  record() {
    const rec = { samples: [], startMs: Infinity, bytes: 0 };
    const parec = spawn('parec', ['-d', 'out.monitor', '--raw', '--format=s16le', '--rate=48000', '--channels=2', '--latency-msec=10'],
      { env: { ...process.env, ...this.env }, stdio: ['ignore', 'pipe', 'ignore'] });
    let carry = Buffer.alloc(0);
    parec.stdout.on('data', (chunk) => {
      const now = performance.timeOrigin + performance.now();
      rec.bytes += chunk.length;
      carry = Buffer.concat([carry, chunk]);
      const whole = carry.length - (carry.length % 4);
      for (let i = 0; i < whole; i += 4) rec.samples.push((carry.readInt16LE(i) + carry.readInt16LE(i + 2)) / 65536);
      carry = carry.subarray(whole);
      rec.startMs = Math.min(rec.startMs, now - (rec.bytes / 4) * 1000 / 48000);
    });
    const stopped = new Promise((resolve) => parec.on('exit', resolve));
    rec.stop = () => {
      parec.kill();
      return stopped;
    };
    return rec;
  }
  stop() {
    this.process.kill();
  }
}

// --- the check run against demo-record ------------------------------------------------------------
const POINTS = ['prelude:100', 'prelude:400', '300', '1000', '1500', '2000', '3000', '4500', '5500', '6000'];

// demo-record's screenshots at the points, and every byte it wrote to the sound device.
function nativeRun() {
  const shots = POINTS.map((point) => ['--shot', `${point}:${path.join(args.work, `shot-${point.replace(':', '-')}.png`)}`]).flat();
  const dspFile = path.join(args.work, 'native.dsp');
  const started = Date.now();
  const out = execFileSync(args.reference, [...shots, '--dsp-out', dspFile], { encoding: 'utf8' });
  console.log(`native: ${out.trim()} (${((Date.now() - started) / 1000).toFixed(1)} s)`);
  return fs.readFileSync(dspFile);
}

// Damaged copies of the box's data file, and the status demo-record's show ends with on
// each: its first picture damaged (the show ends before it has waited for anything),
// and the file cut short in the middle (it ends in the middle of its soundtracks).
function damagedRuns() {
  const files = JSON.parse(fs.readFileSync(path.join(args.site, 'box/files.json'), 'utf8'));
  const dataPath = files[0]; // the data file, then the logo
  const data = fs.readFileSync(path.join(args.site, 'box', dataPath));
  const picture = Buffer.from(data);
  picture[40] ^= 0x5a;
  return [['a damaged first picture', picture], ['a data file cut short', data.subarray(0, data.length >> 1)]].map(([what, bytes], i) => {
    const root = path.join(args.work, `damaged-${i}`);
    for (const file of files) {
      fs.mkdirSync(path.join(root, path.dirname(file)), { recursive: true });
      fs.copyFileSync(path.join(args.site, 'box', file), path.join(root, file));
    }
    fs.writeFileSync(path.join(root, dataPath), bytes);
    const native = spawnSync(args.reference, ['--box', root], { encoding: 'utf8' });
    console.log(`native, ${what}: ${native.stdout.trim()}`);
    return { what, name: `/box${dataPath}`, file: path.join(root, dataPath), status: native.status };
  });
}

async function checkRun(browser, base, native, damaged) {
  const checkStart = Date.now();
  const page = await browser.open(`${base}/index.html?check=${POINTS.join(',')}`);
  const demo = await page.until((d) => d.state === 'ended' || d.state === 'failed', 15 * 60 * 1000);
  console.log(`${browser.name}: check run ${demo.state} in ${((Date.now() - checkStart) / 1000).toFixed(1)} s, exit status ${demo.status}`);
  expect(demo.state === 'ended' && demo.status === 0, `${browser.name}: the check run ends with status 0 (${demo.state}, ${demo.status}, ${demo.error || ''})`);
  await page.close();
  for (const point of POINTS) {
    const got = demo.checkpoints.find((c) => c.label === point);
    const png = readPng(path.join(args.work, `shot-${point.replace(':', '-')}.png`));
    const palette = Buffer.alloc(768);
    png.palette.copy(palette);
    const screen = sha256(png.pixels, palette);
    expect(got && got.screen === screen, `${browser.name}: frame ${point}: the same screen (${screen.slice(0, 16)})`);
    const dsp = got ? sha256(native.subarray(0, got.dspBytes)) : '';
    expect(got && got.dspBytes <= native.length && got.dsp === dsp, `${browser.name}: frame ${point}: the same ${got ? got.dspBytes : '?'} bytes to the sound device`);
  }
  const s = demo.summary || {};
  expect(s.dspBytes === native.length && s.dsp === sha256(native), `${browser.name}: the whole show: the same ${native.length} bytes to the sound device`);

  for (const { what, name, file, status } of damaged) {
    replaced[name] = file;
    try {
      const page = await browser.open(`${base}/index.html?check=prelude:100`);
      const demo = await page.until((d) => d.state === 'ended' || d.state === 'failed', 5 * 60 * 1000);
      const shown = await page.message();
      await page.close();
      expect(status > 0 && demo.state === 'ended' && demo.status === status && shown.includes(`exit status ${status}`),
        `${browser.name}: with ${what} the show ends with demo-record's status ${status} (${demo.state}, ${demo.status}, ${demo.error || ''}), and the page says why: "${shown}"`);
    } finally {
      delete replaced[name];
    }
  }
}

// --- a browser without what the page needs: it says so ----------------------------------------------
// A browser that holds the sound back until the viewer's own click or key. A driven page
// has been given the viewer's activation (puppeteer evaluates as if by a gesture): here
// an AudioContext stays suspended, as far as the page can tell, until a real pointer
// press or key press reaches the window.
const heldBack = `{
  let allowed = false;
  for (const type of ['pointerdown', 'keydown']) addEventListener(type, (e) => (allowed = allowed || e.isTrusted), true);
  window.AudioContext = class extends AudioContext {
    get state() { return allowed ? super.state : 'suspended'; }
    resume() { return allowed ? super.resume() : Promise.resolve(); }
  };
}`;
async function missingRun(browser, base) {
  const noWasm = await browser.open(`${base}/index.html?play`, { before: 'delete window.WebAssembly' });
  const failed = await noWasm.until((d) => d.state === 'failed', 10000);
  const why = await noWasm.message();
  expect(failed.state === 'failed' && why.includes('WebAssembly'), `${browser.name}: without WebAssembly the page says so: "${why}"`);
  await noWasm.close();
  // Without Web Audio the page says why there is no sound, and plays without it. So it
  // does when the viewer chooses no sound while the browser holds it back for a click:
  // the click on "Play without sound" starts none.
  const elsewhere = base.replace('127.0.0.1', 'box.test');
  for (const [what, at, remove] of [['No sound', base, heldBack], ['Web Audio', base, 'delete window.AudioWorkletNode'], ['https', elsewhere]]) {
    const page = await browser.open(`${at}/index.html?section=4&play`, { before: remove });
    await page.tab.waitForFunction('!document.getElementById("silent").hidden', { timeout: 15000 }).catch(() => {});
    const shown = await page.message();
    await page.tab.click('#silent').catch(() => {});
    const demo = await page.until((d) => (d.state === 'running' && d.pictures > 50) || d.state === 'failed' || d.state === 'ended', 30000);
    const after = await page.message();
    expect(shown.includes(what) && demo.state === 'running' && demo.sound.silent && demo.sound.played === 0 && after === '',
      `${browser.name}: where "${shown}", "Play without sound" plays without it (${demo.state}, silent ${demo.sound.silent}, ${demo.sound.played} frames played, then "${after}")`);
    await page.close();
  }
  // A show that fails in the browser (a trap, as a fault would, a second into the run):
  // the page says so, and its sound stops.
  const trap = `Object.defineProperty(window, 'createDemo', { configurable: true, set(make) {
    this.makeDemo = make;
  }, get() {
    return async (options) => Object.assign(await this.makeDemo(options), { ccall: () => new Promise((_, reject) => setTimeout(() => reject(new Error('a trap')), 1000)) });
  } });`;
  const trapped = await browser.open(`${base}/index.html?section=4&play`, { before: trap });
  await trapped.tab.mouse.click(5, 5);
  const fault = await trapped.until((d) => d.state === 'failed', 30000);
  const pulled = fault.sound.pulled;
  await sleep(1000);
  const later = await trapped.until(() => true, 0);
  const told = await trapped.message();
  expect(fault.state === 'failed' && told.includes('a trap') && pulled > 0 && later.sound.pulled === pulled,
    `${browser.name}: a show that fails says so ("${told}") and its sound stops (${pulled}, then ${later.sound.pulled} frames pulled)`);
  await trapped.close();
  // A sound output that cannot start: the page gives the reason, still there once the
  // few seconds it waits for sound have passed, and offers to play without sound.
  const page = await browser.open(`${base}/index.html?section=4&play`, { before: 'AudioWorklet.prototype.addModule = () => Promise.reject(new Error("no worklet here"))' });
  await page.tab.mouse.click(5, 5);
  await sleep(7000);
  const shown = await page.message();
  const offered = await page.eval('!document.getElementById("silent").hidden');
  expect(shown.includes('no worklet here') && offered, `${browser.name}: where the sound cannot start the page says why: "${shown}" (${offered})`);
  await page.close();
}

// Where the sound fed to the output starts in a recording of it, in ms: the best match
// of their envelopes (1 ms blocks).
function envelope(samples) {
  const out = new Float64Array(Math.floor(samples.length / 48));
  for (let b = 0; b < out.length; b++) {
    let sum = 0;
    for (let j = 0; j < 48; j++) sum += samples[b * 48 + j] ** 2;
    out[b] = Math.sqrt(sum / 48);
  }
  return out;
}
// The music repeats itself: the search starts where the first sound was fed and looks
// `within` ms on.
function soundStart(recorded, fed, from, within) {
  const n = Math.min(fed.length, 5000);
  let best = -1, bestScore = 0;
  for (let lag = Math.max(0, from); lag + n <= recorded.length && lag <= from + within; lag++) {
    let dot = 0, power = 1e-12;
    for (let j = 0; j < n; j++) {
      dot += recorded[lag + j] * fed[j];
      power += recorded[lag + j] ** 2;
    }
    if (dot / Math.sqrt(power) > bestScore) {
      bestScore = dot / Math.sqrt(power);
      best = lag;
    }
  }
  return best;
}

// --- a live run as a viewer starts it, with sound -----------------------------------------------------
// The page opens asking for the show to play at once; the browser holds the sound back
// until the viewer clicks, so the check clicks. Under load: a busy process beside the
// browser all along.
async function liveRun(browser, base, server, section, seconds) {
  const recording = server.record();
  const busy = spawn(process.execPath, ['-e', 'for (;;);'], { stdio: 'ignore' });
  const page = await browser.open(`${base}/index.html?section=${section}&play`, { width: 1920, height: 1080 });
  try {
    await page.until((d) => !['loading', 'ready'].includes(d.state), 60000);
    return await playLive(browser, page, recording, seconds);
  } finally {
    busy.kill();
    await recording.stop();
    await page.close();
  }
}

async function playLive(browser, page, recording, seconds) {
  const asked = await page.message();
  await page.tab.mouse.click(5, 5);
  const started = Date.now();
  let demo = await page.until((d) => d.state === 'running' || d.state === 'failed', 60000);
  expect(demo.state === 'running', `${browser.name}: the live run starts at the viewer's click (${demo.state} ${demo.error || ''}; before it: "${asked}")`);
  demo = await page.until((d) => d.sound.played >= seconds * 48000 || d.state !== 'running', (seconds + 60) * 1000);
  await page.tab.keyboard.press(' ');
  demo = await page.until((d) => d.state !== 'running', 30000);
  // The canvas keeps the last picture.
  const shotFile = path.join(args.work, `live-${browser.name}.png`);
  await page.tab.screenshot({ path: shotFile });
  const rect = await page.rect('screen');
  const controls = await page.rect('controls');
  const fed = await page.eval('Array.from(window.demo.sound.envelope)');
  const pictures = await page.eval('window.demo.pictures');
  await recording.stop();

  const s = demo.progress || {};
  console.log(`${browser.name} live: ${JSON.stringify({ status: demo.status, progress: s, sound: demo.sound, firstPictureMs: demo.firstPictureMs, pictures: demo.pictures })} in ${((Date.now() - started) / 1000).toFixed(1)} s`);
  expect(demo.sound.played >= 20 * 48000, `${browser.name}: the live run played ${(demo.sound.played / 48000).toFixed(1)} s of sound`);
  expect(s.underruns === 0 && s.outputUnderruns === 0, `${browser.name}: no underrun (sound device ${s.underruns}, sound output ${s.outputUnderruns})`);
  expect(demo.status === 130, `${browser.name}: Space stops the show, which ends with status 130 (${demo.status})`);
  const canvas = canvasIn(shotFile, rect);
  expect(rect[2] === 1280 && rect[3] === 960, `${browser.name}: in a 1920 x 1080 window the canvas is 1280 x 960 (${rect[2]} x ${rect[3]})`);
  expect(controls[1] + controls[3] <= 1080, `${browser.name}: ... with the controls in view (their bottom at ${controls[1] + controls[3]})`);
  expect(canvas.colours >= 8, `${browser.name}: the screenshot ${shotFile} shows the show (${canvas.colours} colours on the canvas)`);
  expect(canvas.mixed === 0, `${browser.name}: each of the box's pixels is a 2 x 2 block of one colour (${canvas.mixed} are not)`);

  // When each picture went to the canvas against the sound as heard then.
  const start = soundStart(envelope(recording.samples), fed, Math.floor(demo.sound.firstFedAt - recording.startMs), 2000);
  const lags = pictures.filter(([, played]) => played >= 3 * 48000)
    .map(([wallMs, played]) => (wallMs - recording.startMs - start) - played / 48).sort((a, b) => a - b);
  const median = lags.length ? lags[Math.floor(lags.length / 2)] : NaN;
  const peak = recording.samples.reduce((m, x) => Math.max(m, Math.abs(x)), 0);
  console.log(`${browser.name}: pictures behind the sound as heard: ${median.toFixed(1)} ms (median of ${lags.length}; the sound ${start} ms into a recording of ${(recording.samples.length / 48000).toFixed(1)} s, peak ${peak.toFixed(2)})`);
  expect(start >= 0 && lags.length > 100, `${browser.name}: the recording holds the sound the page played, and the pictures shown with it`);
}

// --- the default capture in a <video> element ------------------------------------------------------
// demo-play's capture of the end titles, and what ffmpeg makes of it: where its sound
// is loudest, and one picture (the one on screen at `at` s, in the middle of its time).
function captureRun() {
  const file = path.join(args.work, 'capture.mp4');
  const started = Date.now();
  execFileSync(args.capture, ['--capture', file, '4'], { stdio: 'ignore' });
  console.log(`capture: ${fs.statSync(file).size} bytes in ${((Date.now() - started) / 1000).toFixed(1)} s`);
  fs.writeFileSync(path.join(args.work, 'capture.html'), '<!doctype html><title>capture</title><button id="go">go</button>');
  const ffmpeg = (...a) => execFileSync('ffmpeg', ['-v', 'error', '-i', file, ...a], { maxBuffer: 1 << 28 });
  const pcm = ffmpeg('-vn', '-ac', '1', '-ar', '48000', '-f', 'f32le', '-');
  const samples = new Float32Array(pcm.buffer, pcm.byteOffset, pcm.length / 4);
  let loudAt = 0, loudLevel = 0;
  for (let at = 2 * 48000; at + 4800 <= Math.min(samples.length, 20 * 48000); at += 4800) {
    let sum = 0;
    for (let j = 0; j < 4800; j++) sum += samples[at + j] ** 2;
    if (Math.sqrt(sum / 4800) > loudLevel) [loudAt, loudLevel] = [at / 48000, Math.sqrt(sum / 4800)];
  }
  const times = execFileSync('ffprobe', ['-v', 'error', '-select_streams', 'v:0', '-show_entries', 'packet=pts_time', '-of', 'csv=p=0', file], { encoding: 'utf8' })
    .split('\n').filter(Boolean).map(Number).sort((a, b) => a - b);
  const k = times.findIndex((t, i) => t >= 10 && times[i + 1] - t >= 0.015);
  const frame = (n) => ffmpeg('-vf', `select=eq(n\\,${n})`, '-fps_mode', 'passthrough', '-frames:v', '1', '-f', 'rawvideo', '-pix_fmt', 'rgb24', '-');
  return { loudAt, loudLevel, at: (times[k] + times[k + 1]) / 2, frame: frame(k), other: frame(k + 100) };
}

// The capture played in the browser: its sound through Web Audio, measured while the
// loudest part plays, and the picture at `at` drawn on a canvas.
async function videoRun(browser, base, capture) {
  const page = await browser.open(`${base}/work/capture.html`);
  await page.eval(`document.getElementById('go').onclick = async () => {
    const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
    const video = document.createElement('video');
    const result = (window.result = { state: 'loading' });
    try {
      const audio = new AudioContext();
      const analyser = audio.createAnalyser();
      audio.createMediaElementSource(video).connect(analyser);
      analyser.connect(audio.destination);
      await audio.resume();
      video.src = 'capture.mp4';
      document.body.append(video);
      await new Promise((resolve, reject) => { video.oncanplay = resolve; video.onerror = () => reject(new Error('cannot play: ' + (video.error && video.error.message))); });
      result.duration = video.duration;
      video.currentTime = ${capture.loudAt - 0.5};
      await new Promise((r) => (video.onseeked = r));
      await video.play();
      const buffer = new Float32Array(analyser.fftSize);
      let loudest = 0;
      const start = video.currentTime;
      while (video.currentTime < start + 1.5) {
        analyser.getFloatTimeDomainData(buffer);
        loudest = Math.max(loudest, Math.sqrt(buffer.reduce((s, x) => s + x * x, 0) / buffer.length));
        await sleep(20);
      }
      video.pause();
      result.level = loudest;
      result.played = video.currentTime - start;
      result.decodedAudioBytes = video.webkitAudioDecodedByteCount;
      result.hasAudio = video.mozHasAudio;
      video.currentTime = ${capture.at};
      await new Promise((r) => (video.onseeked = r));
      await sleep(100);
      const canvas = document.createElement('canvas');
      [canvas.width, canvas.height] = [video.videoWidth, video.videoHeight];
      const context = canvas.getContext('2d');
      context.drawImage(video, 0, 0);
      const rgba = context.getImageData(0, 0, canvas.width, canvas.height).data;
      let text = '';
      for (let i = 0; i < rgba.length; i += 4) text += String.fromCharCode(rgba[i], rgba[i + 1], rgba[i + 2]);
      result.picture = btoa(text);
      result.size = [canvas.width, canvas.height];
      result.state = 'done';
      audio.close();
    } catch (e) {
      result.state = 'failed: ' + e.message;
    }
  }, true`);
  await page.tab.click('#go');
  await page.tab.waitForFunction('window.result && window.result.state !== "loading"', { timeout: 60000 }).catch(() => {});
  const result = await page.eval('window.result');
  await page.close();
  expect(result && result.state === 'done', `${browser.name}: the capture plays in a <video> element (${result && result.state})`);
  if (!result || result.state !== 'done') return;
  console.log(`${browser.name} video: ${JSON.stringify({ ...result, picture: undefined })}`);
  expect(result.level > capture.loudLevel / 4, `${browser.name}: its sound decodes: level ${result.level.toFixed(3)} through Web Audio where the soundtrack's is ${capture.loudLevel.toFixed(3)}`);
  const picture = Buffer.from(result.picture, 'base64');
  const difference = (a, b) => {
    let sum = 0;
    for (let i = 0; i < a.length; i++) sum += Math.abs(a[i] - b[i]);
    return sum / a.length;
  };
  const same = difference(picture, capture.frame), other = difference(picture, capture.other);
  expect(picture.length === capture.frame.length && same < 3 && other > 3 * same,
    `${browser.name}: its picture at ${capture.at.toFixed(3)} s is ffmpeg's (mean difference ${same.toFixed(2)} a channel; ${other.toFixed(2)} from a picture 100 on)`);
}

// --- what a viewer expects of the page --------------------------------------------------------------
async function viewerRun(browser, base) {
  // A sound output that takes its time to close: a run started at once after a stop is
  // the next one's, whatever the last one's sound does meanwhile.
  const slowClose = `{
    const close = AudioContext.prototype.close;
    AudioContext.prototype.close = function () { return new Promise((r) => setTimeout(r, 700)).then(() => close.call(this)); };
  }`;
  const page = await browser.open(`${base}/index.html?section=4`, { width: 600, height: 1000, before: slowClose });
  await page.until((d) => d.state === 'ready', 60000);
  const title = await page.eval('document.title');
  expect(/demo/.test(title) && title.length > 10, `${browser.name}: the title names the show ("${title}")`);
  const rect = await page.rect('screen');
  const controls = await page.rect('controls');
  expect(rect[0] >= 0 && rect[0] + rect[2] <= 600 && Math.abs(rect[2] * 3 - rect[3] * 4) <= 4 && controls[1] + controls[3] <= 1000,
    `${browser.name}: in a 600 x 1000 window the canvas fits (${rect[2]} x ${rect[3]} at ${rect[0]}, ${rect[1]}) with the controls in view`);
  await page.tab.keyboard.press('f');
  const full = await page.tab.waitForFunction('document.fullscreenElement !== null', { timeout: 5000 }).then(() => true, () => false);
  await page.tab.keyboard.press('f');
  const back = await page.tab.waitForFunction('document.fullscreenElement === null', { timeout: 5000 }).then(() => true, () => false);
  expect(full && back, `${browser.name}: F toggles full screen (${full}, ${back})`);
  // Space presses a focused button (here Full screen), and starts nothing else.
  await page.tab.focus('#fullscreen');
  await page.tab.keyboard.press(' ');
  const pressed = await page.tab.waitForFunction('document.fullscreenElement !== null', { timeout: 5000 }).then(() => true, () => false);
  const state = await page.eval('window.demo.state');
  await page.tab.keyboard.press('f');
  await page.tab.waitForFunction('document.fullscreenElement === null', { timeout: 5000 }).catch(() => {});
  expect(pressed && state === 'ready', `${browser.name}: Space on the focused Full screen button presses it (${pressed}, ${state})`);
  // Stop, clicked or by Space, as soon as the button says so, the show's module still
  // on its way.
  slow['/demo.wasm'] = 3000;
  try {
    for (const how of ['click', ' ']) {
      await page.tab.click('#play');
      await page.tab.waitForFunction('document.getElementById("play").textContent === "Stop" && !document.getElementById("play").disabled', { timeout: 10000 }).catch(() => {});
      if (how === 'click') await page.tab.click('#play');
      else await page.tab.keyboard.press(how);
      const demo = await page.until((d) => d.state === 'ended' || d.state === 'failed', 30000);
      expect(demo.state === 'ended' && demo.status === 130,
        `${browser.name}: ${how === 'click' ? 'Stop clicked' : 'Space'} while the show loads stops it (${demo.state}, ${demo.status}, ${demo.error || ''})`);
    }
  } finally {
    delete slow['/demo.wasm'];
  }
  // Played again, from another section, in a window so small that the progress line,
  // longer while the show plays, wraps the controls onto a second line: the canvas
  // makes room for them. Play again (the button), then Space, each start a run that
  // plays, with sound; Space, then Stop, end it.
  await page.tab.setViewport({ width: 520, height: 440 });
  await page.tab.select('#section', '3');
  for (const [start, end] of [['click', ' '], [' ', 'click']]) {
    const before = await page.until(() => true, 0);
    if (start === 'click') await page.tab.click('#play');
    else await page.tab.keyboard.press(start);
    let demo = await page.until((d) => (d.state === 'running' && d.pictures > before.pictures + 50 && d.sound.played > before.sound.played + 48000) || d.state === 'failed', 30000);
    expect(demo.state === 'running' && demo.progress && demo.progress.section === '3D',
      `${browser.name}: ${start === 'click' ? 'Play again' : 'Space'} after the show stopped plays it again from the chosen section (${demo.state}, ${demo.progress && demo.progress.section}, ${demo.pictures - before.pictures} pictures, ${((demo.sound.played - before.sound.played) / 48000).toFixed(1)} s of sound)`);
    const rect = await page.rect('screen');
    const controls = await page.rect('controls');
    expect(rect[0] >= 0 && rect[0] + rect[2] <= 520 && controls[1] + controls[3] <= 440 && controls[3] > 30,
      `${browser.name}: ... and in a 520 x 440 window the canvas (${rect[2]} x ${rect[3]}) leaves the controls, on two lines, in view (their bottom at ${controls[1] + controls[3]}, ${controls[3]} high)`);
    if (end === 'click') await page.tab.click('#play');
    else await page.tab.keyboard.press(end);
    demo = await page.until((d) => d.state !== 'running', 30000);
    expect(demo.state === 'ended' && demo.status === 130, `${browser.name}: ... until ${end === 'click' ? 'Stop' : 'Space'} stops it (${demo.state}, ${demo.status})`);
  }
  await page.close();
}

// Where no sound can start (no sound server), the page says so and plays without sound.
// (Chromium plays into a null output of its own when it finds no sound server: it has
// sound anyway.)
async function silentRun(browser, base) {
  const page = await browser.open(`${base}/index.html?section=4`);
  await page.until((d) => d.state === 'ready', 60000);
  await page.tab.keyboard.press(' ');
  await page.tab.waitForFunction('!document.getElementById("silent").hidden || window.demo.state === "running"', { timeout: 15000 }).catch(() => {});
  let demo = await page.until(() => true, 0);
  if (demo.state === 'running') {
    console.log(`${browser.name}: has sound without a sound server (${JSON.stringify(demo.sound)})`);
  } else {
    const said = await page.message();
    expect(/No sound/.test(said), `${browser.name}: without a sound output the page says so: "${said}"`);
    await page.tab.click('#silent').catch(() => {});
    demo = await page.until((d) => (d.state === 'running' && d.pictures > 50) || d.state === 'failed', 30000);
    expect(demo.state === 'running' && demo.sound.silent && demo.pictures > 50, `${browser.name}: ... and plays without it (${demo.state}, ${demo.pictures} pictures)`);
  }
  await page.tab.keyboard.press(' ');
  demo = await page.until((d) => d.state !== 'running', 30000);
  expect(demo.status === 130, `${browser.name}: ... until Space stops it (${demo.status})`);
  await page.close();
}

// The canvas's part of a screenshot: its distinct colours, and the 2 x 2 blocks (one
// pixel of the box each) that are not of one colour.
function canvasIn(file, [x0, y0, w, h]) {
  const png = readPng(file);
  const colour = (x, y) => png.pixels.readUIntBE((y * png.width + x) * png.bpp, 3);
  const seen = new Set();
  let mixed = 0;
  for (let y = y0; y + 1 < y0 + h; y += 2)
    for (let x = x0; x + 1 < x0 + w; x += 2) {
      const c = colour(x, y);
      seen.add(c);
      if (colour(x + 1, y) !== c || colour(x, y + 1) !== c || colour(x + 1, y + 1) !== c) mixed++;
    }
  return { colours: seen.size, mixed };
}

function sizes() {
  for (const file of ['demo.wasm', 'demo.js']) {
    const bytes = fs.readFileSync(path.join(args.site, file));
    console.log(`size: ${file} ${bytes.length} bytes, ${zlib.gzipSync(bytes, { level: 9 }).length} gzip -9, ${zlib.brotliCompressSync(bytes).length} brotli`);
  }
}

// --only a,b runs only those steps (check, missing, viewer, live, capture, silent).
const only = args.only ? new Set(args.only.split(',')) : null;
async function timed(what, step) {
  if (only && !only.has(what.split(' ').slice(1).join(' ').replace(/ .*/, ''))) return;
  const started = Date.now();
  try {
    await step();
  } catch (e) {
    expect(false, `${what}: ${e.stack || e}`);
  }
  console.log(`time: ${what} ${((Date.now() - started) / 1000).toFixed(1)} s`);
}

async function main() {
  fs.rmSync(args.work, { recursive: true, force: true });
  fs.mkdirSync(args.work, { recursive: true });
  const server = await serve(path.resolve(args.site), path.resolve(args.work));
  const base = `http://127.0.0.1:${server.address().port}`;
  const sound = await SoundServer.start(args.work);
  const browsers = args.browsers.split(',').map((b) => b.split('='));
  try {
    sizes();
    const wants = (step) => !args['whole-show'] && (!only || only.has(step));
    const native = wants('check') ? nativeRun() : null;
    const damaged = wants('check') ? damagedRuns() : null;
    const capture = wants('capture') ? captureRun() : null;
    for (const [name, executable] of browsers) {
      const browser = await launch(name, executable, sound.env);
      try {
        if (args['whole-show']) {
          const page = await browser.open(`${base}/index.html?section=0&play`);
          await page.tab.mouse.click(5, 5);
          const demo = await page.until((d) => d.state === 'ended' || d.state === 'failed', 15 * 60 * 1000);
          console.log(`${name} whole show: ${JSON.stringify({ status: demo.status, progress: demo.progress, sound: demo.sound })}`);
          expect(demo.status === 0, `${name}: the whole show ends with status 0`);
          continue;
        }
        await timed(`${name} check run`, () => checkRun(browser, base, native, damaged));
        await timed(`${name} missing features`, () => missingRun(browser, base));
        await timed(`${name} viewer`, () => viewerRun(browser, base));
        await timed(`${name} live run`, () => liveRun(browser, base, sound, 3, 25));
        await timed(`${name} capture in a video element`, () => videoRun(browser, base, capture));
      } finally {
        await browser.close();
      }
      if (args['whole-show']) continue;
      // The same browser where no sound server answers.
      const silent = await launch(name, executable, { PULSE_SERVER: `unix:${args.work}/nothing`, AUDIODEV: 'null' });
      try {
        await timed(`${name} silent run`, () => silentRun(silent, base));
      } finally {
        await silent.close();
      }
    }
  } finally {
    sound.stop();
    server.close();
  }
  console.log(`${failures.length ? 'FAILED' : 'passed'}: ${failures.length} failed`);
  if (failures.length) process.exit(1);
}
main().catch((e) => {
  console.error(e);
  process.exit(1);
});
