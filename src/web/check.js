// Checks the web page in headless Chromium, driven over the DevTools protocol:
//  1. a check run (virtual time) gives, at chosen frames, the same screen and the same
//     bytes to the sound device as the build machine's demo-record, and the same whole
//     stream of bytes and exit status;
//  2. a live run with sound plays at least 20 s without an underrun and shows the show.
// With --whole-show it plays the whole show live instead and reports the figures.
//
// node check.js --site DIR --chromium PATH --reference DEMO-RECORD --work DIR [--whole-show]
'use strict';

const { spawn, execFileSync } = require('child_process');
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

// --- a static file server for the site ----------------------------------------------------------
const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm', '.json': 'application/json' };
function serve(root) {
  const server = http.createServer((request, response) => {
    const file = path.join(root, decodeURIComponent(new URL(request.url, 'http://x').pathname));
    if (!file.startsWith(root) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { 'Content-Type': types[path.extname(file)] || 'application/octet-stream' });
    fs.createReadStream(file).pipe(response);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// --- Chromium over the DevTools protocol, on a pipe ----------------------------------------------
class Browser {
  constructor(chromium, profile) {
    this.process = spawn(chromium, [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--autoplay-policy=no-user-gesture-required', `--user-data-dir=${profile}`,
      '--remote-debugging-pipe', 'about:blank',
    ], { stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe'] });
    this.process.stderr.on('data', () => {});
    this.next = 1;
    this.waiting = new Map();
    let pending = Buffer.alloc(0);
    this.process.stdio[4].on('data', (chunk) => {
      pending = Buffer.concat([pending, chunk]);
      for (let end; (end = pending.indexOf(0)) >= 0; pending = pending.subarray(end + 1)) {
        const message = JSON.parse(pending.toString('utf8', 0, end));
        const waiter = this.waiting.get(message.id);
        if (!waiter) continue;
        this.waiting.delete(message.id);
        if (message.error) waiter.reject(new Error(`${waiter.method}: ${message.error.message}`));
        else waiter.resolve(message.result);
      }
    });
  }
  send(method, params = {}, sessionId) {
    const id = this.next++;
    this.process.stdio[3].write(JSON.stringify({ id, method, params, sessionId }) + '\0');
    return new Promise((resolve, reject) => this.waiting.set(id, { resolve, reject, method }));
  }
  // A page at url; before its own scripts run, `before` (script text) does.
  async open(url, before) {
    const { targetId } = await this.send('Target.createTarget', { url: 'about:blank' });
    const { sessionId } = await this.send('Target.attachToTarget', { targetId, flatten: true });
    const page = {
      send: (method, params) => this.send(method, params, sessionId),
      eval: async (expression) => {
        const { result, exceptionDetails } = await page.send('Runtime.evaluate', { expression, returnByValue: true, awaitPromise: true });
        if (exceptionDetails) throw new Error(`${expression}: ${exceptionDetails.text}`);
        return result.value;
      },
      // window.demo, once test(demo) holds (polled), or after timeoutMs.
      until: async (test, timeoutMs) => {
        const end = Date.now() + timeoutMs;
        for (;;) {
          const demo = await page.eval('window.demo && JSON.parse(JSON.stringify(window.demo))');
          if ((demo && test(demo)) || Date.now() > end) return demo;
          await sleep(250);
        }
      },
    };
    await page.send('Page.enable');
    if (before) await page.send('Page.addScriptToEvaluateOnNewDocument', { source: before });
    await page.send('Page.navigate', { url });
    return page;
  }
  close() {
    this.process.kill();
  }
}

// --- the check run against demo-record ------------------------------------------------------------
const POINTS = ['prelude:100', 'prelude:400', '300', '1000', '1500', '2000', '3000', '4500', '5500', '6000'];

async function checkRun(browser, base) {
  const shots = POINTS.map((point) => ['--shot', `${point}:${path.join(args.work, `shot-${point.replace(':', '-')}.png`)}`]).flat();
  const dspFile = path.join(args.work, 'native.dsp');
  const started = Date.now();
  const nativeOut = execFileSync(args.reference, [...shots, '--dsp-out', dspFile], { encoding: 'utf8' });
  console.log(`native: ${nativeOut.trim()} (${((Date.now() - started) / 1000).toFixed(1)} s)`);
  const native = fs.readFileSync(dspFile);

  const checkStart = Date.now();
  const page = await browser.open(`${base}/index.html?check=${POINTS.join(',')}`);
  const demo = await page.until((d) => d.state === 'ended' || d.state === 'failed', 15 * 60 * 1000);
  console.log(`page: check run ${demo.state} in ${((Date.now() - checkStart) / 1000).toFixed(1)} s, exit status ${demo.status}`);
  expect(demo.state === 'ended' && demo.status === 0, `the check run ends with status 0 (${demo.state}, ${demo.status}, ${demo.error || ''})`);
  for (const point of POINTS) {
    const got = demo.checkpoints.find((c) => c.label === point);
    const png = readPng(path.join(args.work, `shot-${point.replace(':', '-')}.png`));
    const palette = Buffer.alloc(768);
    png.palette.copy(palette);
    const screen = sha256(png.pixels, palette);
    expect(got && got.screen === screen, `frame ${point}: the same screen (${screen.slice(0, 16)})`);
    const dsp = got ? sha256(native.subarray(0, got.dspBytes)) : '';
    expect(got && got.dspBytes <= native.length && got.dsp === dsp, `frame ${point}: the same ${got ? got.dspBytes : '?'} bytes to the sound device`);
  }
  const s = demo.summary || {};
  expect(s.dspBytes === native.length && s.dsp === sha256(native), `the whole show: the same ${native.length} bytes to the sound device`);
}

// --- a browser without what the page needs: it says so ----------------------------------------------
async function missingRun(browser, base) {
  for (const [what, remove] of [['WebAssembly', 'delete window.WebAssembly'], ['Web Audio', 'delete window.AudioWorkletNode']]) {
    const page = await browser.open(`${base}/index.html?play`, remove);
    const demo = await page.until((d) => d.state === 'failed', 10000);
    const shown = await page.eval('(() => { const m = document.getElementById("message"); return m.hidden ? "" : m.textContent; })()');
    expect(demo.state === 'failed' && shown.includes(what), `without ${what} the page says so: "${shown}"`);
  }
}

// --- a live run with sound --------------------------------------------------------------------------
async function liveRun(browser, base, section, seconds) {
  const page = await browser.open(`${base}/index.html?section=${section}&play`);
  // Room for the canvas at twice the box's size.
  await page.send('Emulation.setDeviceMetricsOverride', { width: 1320, height: 1060, deviceScaleFactor: 1, mobile: false });
  const started = Date.now();
  let demo = await page.until((d) => d.state === 'running' || d.state === 'failed', 60000);
  expect(demo.state === 'running', `the live run starts (${demo.state} ${demo.error || ''})`);
  const playing = (d) => d.sound.played >= seconds * 48000 || d.state !== 'running';
  demo = await page.until(playing, (seconds + 60) * 1000);
  const shot = await page.send('Page.captureScreenshot', { format: 'png' });
  const shotFile = path.join(args.work, `live-${section}.png`);
  fs.writeFileSync(shotFile, Buffer.from(shot.data, 'base64'));
  const rect = await page.eval('(() => { const r = document.getElementById("screen").getBoundingClientRect(); return [r.x, r.y, r.width, r.height].map(Math.round); })()');
  if (demo.state === 'running') await page.eval('window.demo.stop(), true');
  demo = await page.until((d) => d.state !== 'running', 30000);
  return { demo, shotFile, rect, wallSeconds: (Date.now() - started) / 1000 };
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

async function main() {
  fs.rmSync(args.work, { recursive: true, force: true });
  fs.mkdirSync(args.work, { recursive: true });
  const server = await serve(path.resolve(args.site));
  const base = `http://127.0.0.1:${server.address().port}`;
  const browser = new Browser(args.chromium, fs.mkdtempSync(path.join(args.work, 'profile-')));
  try {
    sizes();
    if (args['whole-show']) {
      const { demo, wallSeconds } = await liveRun(browser, base, 0, 1e9);
      console.log(`whole show: ${JSON.stringify({ status: demo.status, progress: demo.progress, sound: demo.sound, firstPictureMs: demo.firstPictureMs })} in ${wallSeconds.toFixed(1)} s`);
      expect(demo.status === 0, 'the whole show ends with status 0');
    } else {
      await checkRun(browser, base);
      await missingRun(browser, base);
      const { demo, shotFile, rect } = await liveRun(browser, base, 3, 25);
      const s = demo.progress || {};
      console.log(`live: ${JSON.stringify({ status: demo.status, progress: s, sound: demo.sound, firstPictureMs: demo.firstPictureMs })}`);
      expect(demo.sound.played >= 20 * 48000, `the live run played ${(demo.sound.played / 48000).toFixed(1)} s of sound`);
      expect(demo.sound.underruns === 0 && s.underruns === 0, `no underrun (sound output ${demo.sound.underruns}, sound device ${s.underruns})`);
      expect(demo.status === 130, `stopped by the viewer, the show ends with status 130 (${demo.status})`);
      const canvas = canvasIn(shotFile, rect);
      expect(rect[2] === 1280 && rect[3] === 960, `the canvas is 1280 x 960 (${rect[2]} x ${rect[3]})`);
      expect(canvas.colours >= 8, `the screenshot ${shotFile} shows the show (${canvas.colours} colours on the canvas)`);
      expect(canvas.mixed === 0, `each of the box's pixels is a 2 x 2 block of one colour (${canvas.mixed} are not)`);
    }
  } finally {
    browser.close();
    server.close();
  }
  if (failures.length) {
    console.log(`${failures.length} failed`);
    process.exit(1);
  }
}
main().catch((e) => {
  console.error(e);
  process.exit(1);
});
