// End-to-end test of the remote console: Chromium on the console page of a real
// `hbr run-exe -demo`, whose simulated VM's console endpoint (127.0.0.1, a free port handed to
// hbr in place of 2179) is a relay that
// checks the pre-connection PDU and then hands the connection to FreeRDP's shadow server on
// an Xvfb display. What the page draws is compared with the display's real pixels; keys typed
// in the page must reach a program on the display; the display's pointer must come back as
// the page's cursor.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFile } from 'node:child_process';
import { mkdtempSync, mkdirSync, rmSync, readFileSync, existsSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createServer, connect } from 'node:net';
import { inflateSync } from 'node:zlib';
import { OUT, freePort, launchChromium, startHbr } from './harness.js';

const GUARD = 60000; // against hangs only; every wait is for a condition
// The relay's port, chosen free and passed to hbr (HBR_VM_CONSOLE_PORT) in place of 2179.
let VM_CONSOLE_PORT;
const WIDTH = 1024;
const HEIGHT = 768;
// 16-bit colour keeps 5 or 6 bits of a channel.
const TOLERANCE = 12;

// The picture on the display: a solid root and a window of another colour at a known place.
const ROOT = [0x33, 0x66, 0xcc];
const PANEL = { x: 40, y: 420, rgb: [0xe0, 0x90, 0x20] };
// The terminal that receives the typed text.
const TERM = { x: 520, y: 80, cols: 60, rows: 14 };

const children = [];
let hbr;
let tmp;
let display;
let rdpPort;
let relay;
let base;
let context;
let page;
let vmId;
const pageErrors = [];
const shared = {};

const sleep = (ms) => new Promise((ok) => setTimeout(ok, ms));

// Polls `check` until it returns a truthy value; the guard only stops a hang.
async function until(what, check, guard = GUARD) {
  const end = Date.now() + guard;
  let last;
  for (;;) {
    try {
      last = await check();
      if (last) return last;
    } catch (err) {
      last = err;
    }
    if (Date.now() > end) throw new Error(`gave up waiting for ${what}${last instanceof Error ? `: ${last.message}` : ''}`);
    await sleep(50);
  }
}


function accepts(port) {
  return new Promise((ok) => {
    const s = connect(port, '127.0.0.1');
    s.once('connect', () => { s.destroy(); ok(true); });
    s.once('error', () => ok(false));
  });
}

// Starts a process that `after` stops; its output is kept for failure messages.
function start(name, command, args, options = {}) {
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
  const record = { name, child, output: '', exited: false };
  record.exit = new Promise((ok) => child.once('exit', (code, signal) => { record.exited = true; ok({ code, signal }); }));
  child.once('error', (err) => { record.output += `\n${err}`; });
  child.stdout?.on('data', (d) => { record.output = (record.output + d).slice(-20000); });
  child.stderr?.on('data', (d) => { record.output = (record.output + d).slice(-20000); });
  children.push(record);
  return record;
}

async function stop(record) {
  if (!record.exited) record.child.kill('SIGKILL');
  await record.exit;
}

function run(command, args, env = {}) {
  return new Promise((ok, fail) => {
    execFile(command, args, { env: { ...process.env, ...env }, encoding: 'buffer', maxBuffer: 64 << 20 }, (err, stdout, stderr) => {
      if (err) fail(new Error(`${command} ${args.join(' ')}: ${err.message} ${stderr}`));
      else ok(stdout);
    });
  });
}

const onDisplay = () => ({ DISPLAY: display });

async function startDisplay() {
  // Xvfb writes the display number it took to the descriptor named by -displayfd.
  const xvfb = start('Xvfb', 'Xvfb', ['-displayfd', '3', '-screen', '0', `${WIDTH}x${HEIGHT}x24`, '-nolisten', 'tcp', '-noreset'],
    { stdio: ['ignore', 'pipe', 'pipe', 'pipe'] });
  let number = '';
  xvfb.child.stdio[3].on('data', (d) => { number += d; });
  await until('the Xvfb display number', () => {
    if (xvfb.exited) throw new Error(`Xvfb exited: ${xvfb.output}`);
    return /\d+\n/.test(number);
  });
  display = `:${number.trim()}`;
  await run('xsetroot', ['-solid', hex(ROOT)], onDisplay());
}

async function startShadowServer() {
  rdpPort = await freePort();
  const home = join(tmp, 'rdp-home');
  mkdirSync(home);
  const shadow = start('freerdp-shadow-cli', 'freerdp-shadow-cli', [`/port:${rdpPort}`, '/bind-address:127.0.0.1', '-auth'], {
    env: { ...process.env, HOME: home, XDG_CONFIG_HOME: join(home, '.config'), DISPLAY: display },
  });
  await until('the shadow server to listen', async () => {
    if (shadow.exited) throw new Error(`freerdp-shadow-cli exited: ${shadow.output}`);
    return accepts(rdpPort);
  });
}

// Stands where a Hyper-V host's VM console endpoint would: the client must open with an RDP
// pre-connection PDU (version 2) naming the VM; then the rest goes to the shadow server.
function startRelay(expectedBlob) {
  const state = { blobs: [], faults: [], sockets: new Set() };
  const server = createServer((client) => {
    state.sockets.add(client);
    client.once('close', () => state.sockets.delete(client));
    client.on('error', () => {});
    let buffered = Buffer.alloc(0);
    const refuse = (why) => { state.faults.push(why); client.destroy(); };
    const onData = (chunk) => {
      buffered = Buffer.concat([buffered, chunk]);
      if (buffered.length < 4) return;
      const size = buffered.readUInt32LE(0);
      if (size < 18 || size > 65535) return refuse(`pre-connection PDU of ${size} bytes`);
      if (buffered.length < size) return;
      client.off('data', onData);
      client.pause();
      const version = buffered.readUInt32LE(8);
      const units = buffered.readUInt16LE(16);
      if (version !== 2) return refuse(`pre-connection PDU version ${version}`);
      if (18 + units * 2 > size) return refuse(`pre-connection blob of ${units} units in ${size} bytes`);
      const blob = buffered.subarray(18, 18 + units * 2).toString('utf16le').replace(/\0+$/, '');
      state.blobs.push(blob);
      if (blob !== expectedBlob) return refuse(`pre-connection blob ${JSON.stringify(blob)}, expected ${JSON.stringify(expectedBlob)}`);
      const upstream = connect(rdpPort, '127.0.0.1');
      state.sockets.add(upstream);
      upstream.once('close', () => { state.sockets.delete(upstream); client.destroy(); });
      client.once('close', () => upstream.destroy());
      upstream.on('error', () => {});
      upstream.once('connect', () => {
        const rest = buffered.subarray(size);
        if (rest.length) upstream.write(rest);
        client.pipe(upstream);
        upstream.pipe(client);
        client.resume();
      });
    };
    client.on('data', onData);
  });
  return new Promise((ok, fail) => {
    server.once('error', (err) => fail(new Error(`the VM console relay cannot listen on 127.0.0.1:${VM_CONSOLE_PORT}: ${err.message}`)));
    server.listen(VM_CONSOLE_PORT, '127.0.0.1', () => {
      state.close = () => new Promise((done) => { for (const s of state.sockets) s.destroy(); server.close(() => done()); });
      ok(state);
    });
  });
}


// A terminal window at a known place, titled `title`; its shell runs `script`.
function startTerminal(title, script) {
  return start(title, 'xterm', ['-geometry', `${TERM.cols}x${TERM.rows}+${TERM.x}+${TERM.y}`, '-bg', 'black', '-fg', 'white',
    '-title', title, '-e', 'sh', '-c', script], { env: { ...process.env, ...onDisplay() } });
}

// Waits until X reports a mapped window whose name is `title`; its root geometry.
async function mappedWindow(title) {
  return until(`the window "${title}" on the display`, async () => {
    const out = (await run('xwininfo', ['-name', title], onDisplay()).catch(() => Buffer.from(''))).toString();
    if (!/Map State: IsViewable/.test(out)) return null;
    const n = (label) => Number(new RegExp(`${label}:\\s+(-?\\d+)`).exec(out)[1]);
    return { x: n('Absolute upper-left X'), y: n('Absolute upper-left Y'), w: n('Width'), h: n('Height') };
  });
}

function hex(rgb) {
  return `#${rgb.map((c) => c.toString(16).padStart(2, '0')).join('')}`;
}

// The display's real pixels: `xwd -root`, read as the X Window Dump it is (a big-endian header
// of 25 CARD32s, the window name, the colour map, then the image).
async function captureScreen() {
  const file = await run('xwd', ['-root', '-silent'], onDisplay());
  const h = (i) => file.readUInt32BE(i * 4);
  const headerSize = h(0), version = h(1), format = h(2), width = h(4), height = h(5), byteOrder = h(7);
  const bitsPerPixel = h(11), bytesPerLine = h(12), masks = [h(14), h(15), h(16)], colours = h(19);
  assert.equal(version, 7, 'XWD version');
  assert.equal(format, 2, 'XWD image format (ZPixmap)');
  assert.equal(bitsPerPixel, 32, 'XWD bits per pixel');
  const start = headerSize + colours * 12;
  assert.ok(file.length >= start + bytesPerLine * height, 'XWD image is complete');
  const shift = (m) => { let s = 0; while (m && !(m & 1)) { m >>>= 1; s++; } return s; };
  const shifts = masks.map(shift);
  return {
    width,
    height,
    at(x, y) {
      const o = start + y * bytesPerLine + x * 4;
      const v = byteOrder === 0 ? file.readUInt32LE(o) : file.readUInt32BE(o);
      return masks.map((m, i) => ((v & m) >>> shifts[i]) & 0xff);
    },
  };
}

// Points spread over the whole desktop, plus a few inside each of `windows`.
function samplePoints(windows = []) {
  const points = [];
  for (let y = 8; y < HEIGHT; y += 48) for (let x = 8; x < WIDTH; x += 48) points.push([x, y]);
  for (const w of windows) for (let k = 1; k < 8; k++) points.push([w.x + Math.floor((k * w.w) / 8), w.y + Math.floor((k * w.h) / 8)]);
  return points;
}

function canvasPixels(points) {
  return page.evaluate((pts) => {
    const c = window.hbrConsole.canvas;
    const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    return { width: c.width, height: c.height, pixels: pts.map(([x, y]) => Array.from(data.subarray((y * c.width + x) * 4, (y * c.width + x) * 4 + 3))) };
  }, points);
}

// Compares the canvas with the display at `points` until they agree (the canvas catches up
// with the display as the server's updates arrive); the differences when they never do.
async function canvasMatchesScreen(points) {
  let report = '';
  try {
    await until('the canvas to show the display', async () => {
      const screen = await captureScreen();
      const canvas = await canvasPixels(points);
      if (canvas.width !== screen.width || canvas.height !== screen.height) {
        report = `canvas ${canvas.width}x${canvas.height}, display ${screen.width}x${screen.height}`;
        return false;
      }
      const wrong = [];
      points.forEach(([x, y], i) => {
        const want = screen.at(x, y), got = canvas.pixels[i];
        if (want.some((c, k) => Math.abs(c - got[k]) > TOLERANCE)) wrong.push(`(${x},${y}) display ${hex(want)} canvas ${hex(got)}`);
      });
      report = `${wrong.length} of ${points.length} points differ: ${wrong.slice(0, 8).join('; ')}`;
      return wrong.length === 0;
    });
  } catch (err) {
    throw new Error(`${err.message}\n${report}`);
  }
}

async function shot(name) {
  await page.screenshot({ path: join(OUT, `${name}.png`) });
}

// A point of the desktop in page coordinates (the canvas may be scaled by CSS).
async function pagePoint(x, y) {
  const box = await page.locator('#screen').boundingBox();
  return [box.x + ((x + 0.5) * box.width) / WIDTH, box.y + ((y + 0.5) * box.height) / HEIGHT];
}

const cursorOf = () => page.evaluate(() => window.hbrConsole.canvas.style.cursor);


// The display's current pointer as the X server holds it (XFixes GetCursorImage), asked over
// the display's local socket: position, hotspot, size and ARGB pixels.
async function xCursor() {
  const socket = connect({ path: `/tmp/.X11-unix/X${display.slice(1)}` });
  let data = Buffer.alloc(0);
  let wake = () => {};
  socket.on('data', (d) => { data = Buffer.concat([data, d]); wake(); });
  socket.on('error', () => wake());
  const take = async (n) => {
    while (data.length < n) {
      if (socket.destroyed) throw new Error('X connection closed');
      await new Promise((ok) => { wake = ok; });
    }
    const out = data.subarray(0, n);
    data = data.subarray(n);
    return out;
  };
  const reply = async () => {
    const head = await take(32);
    if (head[0] !== 1) throw new Error(`X error ${head[1]}`);
    return Buffer.concat([head, await take(head.readUInt32LE(4) * 4)]);
  };
  try {
    await new Promise((ok, fail) => { socket.once('connect', ok); socket.once('error', fail); });
    // Little-endian client, protocol 11.0, no authorisation.
    socket.write(Buffer.from([0x6c, 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0]));
    const setup = await take(8);
    if (setup[0] !== 1) throw new Error('the X server refused the connection');
    await take(setup.readUInt16LE(6) * 4);
    const name = Buffer.from('XFIXES');
    const query = Buffer.alloc(16);
    query.writeUInt8(98, 0); // QueryExtension
    query.writeUInt16LE(4, 2);
    query.writeUInt16LE(name.length, 4);
    name.copy(query, 8);
    socket.write(query);
    const ext = await reply();
    if (!ext[8]) throw new Error('no XFIXES on the display');
    const major = ext[9];
    const version = Buffer.alloc(12);
    version.writeUInt8(major, 0);
    version.writeUInt8(0, 1); // QueryVersion, which must come first
    version.writeUInt16LE(3, 2);
    version.writeUInt32LE(4, 4);
    socket.write(version);
    await reply();
    socket.write(Buffer.from([major, 4, 1, 0])); // GetCursorImage
    const r = await reply();
    const width = r.readUInt16LE(12), height = r.readUInt16LE(14);
    const argb = [];
    for (let i = 0; i < width * height; i++) argb.push(r.readUInt32LE(32 + i * 4));
    return { x: r.readInt16LE(8), y: r.readInt16LE(10), width, height, hotX: r.readUInt16LE(16), hotY: r.readUInt16LE(18), argb };
  } finally {
    socket.destroy();
  }
}

// An 8-bit RGBA PNG without interlacing (what the server makes) to its pixels.
function readPng(png) {
  assert.deepEqual([...png.subarray(0, 8)], [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a], 'PNG signature');
  let width = 0, height = 0;
  const idat = [];
  for (let o = 8; o + 8 <= png.length;) {
    const length = png.readUInt32BE(o), type = png.toString('latin1', o + 4, o + 8);
    const body = png.subarray(o + 8, o + 8 + length);
    if (type === 'IHDR') {
      width = body.readUInt32BE(0);
      height = body.readUInt32BE(4);
      assert.deepEqual([body[8], body[9], body[12]], [8, 6, 0], '8-bit RGBA, not interlaced');
    } else if (type === 'IDAT') idat.push(body);
    else if (type === 'IEND') break;
    o += 12 + length;
  }
  const raw = inflateSync(Buffer.concat(idat));
  const stride = width * 4;
  const out = Buffer.alloc(stride * height);
  for (let y = 0; y < height; y++) {
    const filter = raw[y * (stride + 1)];
    for (let x = 0; x < stride; x++) {
      const v = raw[y * (stride + 1) + 1 + x];
      const a = x >= 4 ? out[y * stride + x - 4] : 0;
      const b = y > 0 ? out[(y - 1) * stride + x] : 0;
      const c = x >= 4 && y > 0 ? out[(y - 1) * stride + x - 4] : 0;
      const p = a + b - c, pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c);
      const predictor = [0, a, b, (a + b) >> 1, pa <= pb && pa <= pc ? a : pb <= pc ? b : c][filter];
      out[y * stride + x] = (v + predictor) & 0xff;
    }
  }
  return { width, height, rgba: out };
}

// Whether a served cursor file shows the X server's pointer: same size, hotspot and pixels
// (X gives premultiplied ARGB; the cursors in use are opaque or clear, pixel by pixel).
function sameCursor(file, x) {
  if (file.readUInt16LE(10) !== x.hotX || file.readUInt16LE(12) !== x.hotY) return false;
  const png = readPng(file.subarray(22));
  if (png.width !== x.width || png.height !== x.height) return false;
  return x.argb.every((v, i) => {
    const [r, g, b, a] = png.rgba.subarray(i * 4, i * 4 + 4);
    const xa = v >>> 24;
    if (Math.abs(a - xa) > 2) return false;
    return xa === 0 || [(v >>> 16) & 0xff, (v >>> 8) & 0xff, v & 0xff].every((c, k) => Math.abs(c - [r, g, b][k]) <= 2);
  });
}

before(async () => {
  tmp = mkdtempSync(join(tmpdir(), 'hbr-console-'));
  mkdirSync(OUT, { recursive: true });
  await startDisplay();
  await startShadowServer();
  VM_CONSOLE_PORT = await freePort();
  hbr = await startHbr(tmp, { env: { HBR_VM_CONSOLE_PORT: String(VM_CONSOLE_PORT) } });
  base = hbr.base;
  context = await launchChromium(join(tmp, 'profile'), { width: 1280, height: 900 });
  context.setDefaultTimeout(GUARD);
  page = context.pages()[0] || await context.newPage();
  page.on('pageerror', (e) => pageErrors.push(String(e)));
  await page.goto(`${base}/login.html`);
  await page.fill('#usr', 'administrator');
  await page.fill('#pwd', 'bravo');
  await page.click('button[type=submit]');
  await page.locator('body.app').waitFor();
  const live = await page.evaluate(async () => (await fetch('/api/livedata')).json());
  const running = live.vms.find((v) => v.state === '2');
  assert.ok(running, 'the simulated host has a running VM');
  vmId = running.id;
  relay = await startRelay(vmId);
});

after(async () => {
  await context?.close().catch(() => {});
  await relay?.close?.();
  await hbr?.stop();
  // The programs on the display first, the display last.
  for (const record of [...children].reverse()) await stop(record);
  if (tmp) rmSync(tmp, { recursive: true, force: true });
});

test('the console page draws the VM desktop exactly as the display shows it', async () => {
  // The panel: a window of its own colour at a known place, with nothing in it.
  // Text, text cursor and background all in one colour: a plain rectangle.
  const colour = hex(PANEL.rgb);
  start('panel', 'xterm', ['-geometry', `40x12+${PANEL.x}+${PANEL.y}`, '-bg', colour, '-fg', colour, '-cr', colour, '-title', 'panel',
    '-e', 'sh', '-c', 'exec sleep 100000'], { env: { ...process.env, ...onDisplay() } });
  const panel = await mappedWindow('panel');
  assert.equal(panel.x, PANEL.x);
  assert.equal(panel.y, PANEL.y);
  await page.goto(`${base}/rdp/${encodeURIComponent(vmId)}`);
  await page.waitForFunction(() => window.hbrConsole?.state.phase === 'connected', null, { timeout: GUARD });
  const state = await page.evaluate(() => ({ texts: window.hbrConsole.state.texts, errors: window.hbrConsole.state.errors }));
  assert.deepEqual(state.errors, []);
  // True colour unless the user asks for low bandwidth.
  await until('the first bitmaps', () => page.evaluate(() => window.hbrConsole.state.depths.size > 0));
  assert.deepEqual(await page.evaluate(() => [...window.hbrConsole.state.depths]), [32]);
  assert.match(state.texts[0], /^S:[0-9a-f]+$/);
  assert.deepEqual(relay.blobs, [vmId], 'one connection, naming the VM');
  assert.deepEqual(relay.faults, []);
  await canvasMatchesScreen(samplePoints([panel]));
  // The known picture is really there, not merely two equal blank images.
  const screen = await captureScreen();
  const near = (got, want) => want.every((c, k) => Math.abs(c - got[k]) <= TOLERANCE);
  assert.ok(near(screen.at(8, 8), ROOT), `root colour ${hex(screen.at(8, 8))}`);
  const canvas = await canvasPixels([[8, 8], [panel.x + (panel.w >> 1), panel.y + (panel.h >> 1)]]);
  assert.ok(near(canvas.pixels[0], ROOT), `canvas root ${hex(canvas.pixels[0])}`);
  assert.ok(near(canvas.pixels[1], PANEL.rgb), `canvas panel ${hex(canvas.pixels[1])}`);
  await shot('console-desktop');
  assert.deepEqual(pageErrors, []);
});

test('keys typed in the page reach a terminal on the VM, and Control+C interrupts there', async () => {
  const typed = join(tmp, 'typed.txt');
  const ended = join(tmp, 'ended.txt');
  // cat's exit status tells how it ended: 130 is SIGINT, what Control+C in a terminal sends.
  startTerminal('terminal', `trap : INT; cat > '${typed}'; echo "$?" > '${ended}'; exec sleep 100000`);
  const term = await mappedWindow('terminal');
  shared.term = term;
  await until('the terminal\'s shell to start cat', () => existsSync(typed));
  await page.mouse.click(...await pagePoint(term.x + (term.w >> 1), term.y + (term.h >> 1)));
  await page.keyboard.press('Shift+KeyH');
  await page.keyboard.type('ello, world 42');
  await page.keyboard.press('Enter');
  await until('the typed line in the file', () => readFileSync(typed, 'utf8') === 'Hello, world 42\n');
  await page.keyboard.press('Control+KeyC');
  await until('cat to end', () => existsSync(ended) && readFileSync(ended, 'utf8').endsWith('\n'));
  assert.equal(readFileSync(ended, 'utf8'), '130\n', 'cat was interrupted by SIGINT');
  assert.equal(readFileSync(typed, 'utf8'), 'Hello, world 42\n', 'Control+C typed nothing');
  // The echoed text is on the page too.
  const points = samplePoints([term]);
  for (let x = term.x + 2; x < term.x + 160; x += 2) for (let y = term.y + 2; y < term.y + 20; y += 3) points.push([x, y]);
  await canvasMatchesScreen(points);
  await shot('console-typed');
  assert.deepEqual(pageErrors, []);
});


test('the display\'s pointer becomes the page\'s cursor, served from /cur/', async () => {
  const term = shared.term;
  const sessionId = await page.evaluate(() => window.hbrConsole.state.sessionId);
  const fetchFromPage = (path) => page.evaluate(async (p) => {
    const r = await fetch(p);
    return { status: r.status, bytes: Array.from(new Uint8Array(await r.arrayBuffer())) };
  }, path);
  // Moves the mouse in the page to desktop point (x, y), then waits until the display's pointer
  // is there and the page's CSS cursor is a served cursor file showing that very pointer.
  // The shadow server reads the display's cursor changes only when new X events wake it, so
  // while the page lags, the pointer steps off the point and back to cause such events.
  const pointerAt = (x, y, away, what) => until(what, async () => {
    const pointer = await xCursor();
    const css = await cursorOf();
    const m = /^url\("?(\/cur\/([0-9a-f]+)\/(\d+))"?\) (\d+) (\d+), default$/.exec(css);
    const reply = m && pointer.x === x && pointer.y === y ? await fetchFromPage(m[1]) : null;
    const file = reply?.status === 200 ? Buffer.from(reply.bytes) : null;
    if (file && sameCursor(file, pointer))
      return { path: m[1], session: m[2], id: Number(m[3]), hot: [Number(m[4]), Number(m[5])], file, pointer };
    // Every try steps off the point and back: a move onto the point where the page's mouse
    // already is makes no event at all, so a try after one whose move had not landed yet (a busy
    // machine) would wait for an event that never comes.
    await page.mouse.move(...await pagePoint(...away));
    await page.mouse.move(...await pagePoint(x, y));
    // Paces the tries; when the move has not landed by then, the next try sends it again.
    await until('the display\'s pointer to follow', async () => { const p = await xCursor(); return p.x === x && p.y === y; }, 5000)
      .catch(() => {});
    return null;
  }, GUARD);
  const inTerm = [term.x + (term.w >> 1), term.y + (term.h >> 1)];
  const overDesktop = await pointerAt(900, 700, inTerm, 'the desktop\'s pointer in the page');
  const overTerm = await pointerAt(...inTerm, [900, 700], 'the terminal\'s pointer in the page');
  assert.notEqual(overTerm.pointer.argb.join(), overDesktop.pointer.argb.join(), 'X shows another pointer over the terminal');
  assert.notEqual(overTerm.id, overDesktop.id);
  assert.equal(overTerm.session, sessionId);
  assert.deepEqual(overTerm.hot, [overTerm.pointer.hotX, overTerm.pointer.hotY], 'the CSS hotspot');
  // The cursor container: reserved 0, type 2 (cursor), one image, its size, the PNG at 22.
  const file = overTerm.file;
  assert.deepEqual([file.readUInt16LE(0), file.readUInt16LE(2), file.readUInt16LE(4)], [0, 2, 1]);
  assert.deepEqual([file[6], file[7]], [overTerm.pointer.width & 0xff, overTerm.pointer.height & 0xff]);
  assert.equal(file.readUInt32LE(18), 22);
  assert.equal(file.length, 22 + file.readUInt32LE(14));
  writeFileSync(join(OUT, 'console-cursor-terminal.png'), file.subarray(22));
  writeFileSync(join(OUT, 'console-cursor-desktop.png'), overDesktop.file.subarray(22));
  // A cursor is served exactly as long as the page still holds it: a pointer the server
  // dropped is gone from both.
  const held = await page.evaluate((id) => window.hbrConsole.state.cursors.has(id), overDesktop.id);
  assert.equal((await fetchFromPage(overDesktop.path)).status, held ? 200 : 404, overDesktop.path);
  assert.deepEqual(relay.faults, []);
  await shot('console-pointer');
  assert.deepEqual(pageErrors, []);
});


test('the special keys menu sends each combination to the VM', async () => {
  const log = join(tmp, 'xev.txt');
  // xev prints every key event of its window; the pointer over it gives it the keyboard.
  start('xev', 'sh', ['-c', `exec stdbuf -oL xev -event keyboard -geometry 300x200+80+80 -name keys > '${log}'`],
    { env: { ...process.env, ...onDisplay() } });
  const win = await mappedWindow('keys');
  await page.mouse.move(...await pagePoint(win.x + (win.w >> 1), win.y + (win.h >> 1)));
  await until('the pointer over the key window', async () => { const p = await xCursor(); return p.x === win.x + (win.w >> 1); });
  const pressed = () => [...readFileSync(log, 'utf8').matchAll(/KeyPress event[^]*?keysym 0x[0-9a-f]+, (\w+)\)/g)].map((m) => m[1]);
  const expected = {
    windows: ['Super_L'],
    'alt-f4': ['Alt_L', 'F4'],
    prtscn: ['Print'],
    'ctrl-alt-end': ['Control_L', 'Alt_L', 'End'],
    f1: ['F1'],
    f5: ['F5'],
    f11: ['F11'],
    f12: ['F12'],
  };
  for (const [name, keys] of Object.entries(expected)) {
    const before = pressed().length;
    await page.selectOption('#keys', name);
    await until(`the keys of ${name}`, () => pressed().length >= before + keys.length)
      .catch((err) => { throw new Error(`${err.message}\n${readFileSync(log, 'utf8').slice(-3000)}`); });
    assert.deepEqual(pressed().slice(before), keys, name);
    assert.equal(await page.inputValue('#keys'), '', 'the menu goes back to its title');
  }
  // Every key that went down came up again.
  const text = readFileSync(log, 'utf8');
  assert.equal((text.match(/KeyRelease event/g) || []).length, (text.match(/KeyPress event/g) || []).length);
  assert.deepEqual(pageErrors, []);
});

test('a German layout: the physical keys typed in the page give ü, ß and AltGr+Q (@) on the VM', async () => {
  // The VM's keyboard is German, as a guest's is once the session announced that layout.
  await run('setxkbmap', ['-display', display, 'de']);
  try {
    await page.selectOption('#layout', 'de');
    await page.waitForFunction(() => window.hbrConsole.state.phase === 'connected', null, { timeout: GUARD });
    const typed = join(tmp, 'german.txt');
    start('german', 'xterm', ['-u8', '-geometry', `${TERM.cols}x${TERM.rows}+${TERM.x}+${TERM.y + 300}`, '-title', 'german',
      '-e', 'sh', '-c', `stty -icanon; exec cat > '${typed}'`], { env: { ...process.env, ...onDisplay(), LANG: 'C.UTF-8', LC_ALL: 'C.UTF-8' } });
    const term = await mappedWindow('german');
    await until('the terminal\'s cat', () => existsSync(typed));
    await page.mouse.click(...await pagePoint(term.x + (term.w >> 1), term.y + (term.h >> 1)));
    // The keys where a German keyboard has Ü and ß, and AltGr with Q.
    await page.keyboard.press('BracketLeft');
    await page.keyboard.press('Minus');
    await page.keyboard.down('AltRight');
    await page.keyboard.press('KeyQ');
    await page.keyboard.up('AltRight');
    await until('the typed characters in the file', () => readFileSync(typed, 'utf8') === 'üß@');
  } finally {
    await run('setxkbmap', ['-display', display, 'us']);
  }
  assert.equal(await page.evaluate(() => localStorage.getItem('hbr.console.layout')), 'de');
  assert.deepEqual(pageErrors, []);
});

test('a session whose server goes away says why, gives the cursor back and reconnects', async () => {
  const shadow = children.find((c) => c.name === 'freerdp-shadow-cli');
  await stop(shadow);
  await page.waitForFunction(() => window.hbrConsole.state.phase === 'ended', null, { timeout: GUARD });
  const status = await page.textContent('#status');
  assert.match(status, /transport layer failed|connection to the server was lost/, status);
  assert.equal(await cursorOf(), 'default');
  assert.ok(await page.isVisible('#reconnect'), 'Reconnect is offered');
  await shot('console-ended');
  // The server is back: Reconnect opens a new session that draws again.
  children.splice(children.indexOf(shadow), 1);
  const home = join(tmp, 'rdp-home');
  const again = start('freerdp-shadow-cli', 'freerdp-shadow-cli', [`/port:${rdpPort}`, '/bind-address:127.0.0.1', '-auth'], {
    env: { ...process.env, HOME: home, XDG_CONFIG_HOME: join(home, '.config'), DISPLAY: display },
  });
  await until('the shadow server to listen again', async () => {
    if (again.exited) throw new Error(`freerdp-shadow-cli exited: ${again.output}`);
    return accepts(rdpPort);
  });
  const before = await page.evaluate(() => window.hbrConsole.state.sessionId);
  await page.click('#reconnect');
  await page.waitForFunction(() => window.hbrConsole.state.phase === 'connected', null, { timeout: GUARD });
  const after = await page.evaluate(() => ({ id: window.hbrConsole.state.sessionId, errors: window.hbrConsole.state.errors }));
  assert.notEqual(after.id, before, 'a new session');
  assert.deepEqual(after.errors, []);
  assert.ok(!await page.isVisible('#reconnect'));
  await canvasMatchesScreen(samplePoints());
  assert.deepEqual(pageErrors, []);
});

// The clipboard. The shadow server has no clipboard channel, so these sessions go through the
// same relay to the channel test server built with the tests, which reports what the client
// put on its clipboard ("PASTE <hex>") and offers text of its own on command ("COPY <hex>").
async function startChannelServer() {
  const program = process.env.HBR_CHANNEL_RDP_SERVER;
  assert.ok(program && existsSync(program), `the channel test server (HBR_CHANNEL_RDP_SERVER=${program})`);
  const record = start('channel_rdp_server', program, [], { stdio: ['pipe', 'pipe', 'pipe'] });
  const lines = [];
  let buffered = '';
  record.child.stdout.on('data', (d) => {
    buffered += d;
    const parts = buffered.split('\n');
    buffered = parts.pop();
    lines.push(...parts);
  });
  const next = (prefix) => until(`"${prefix}" from the channel server`, () => {
    if (record.exited) throw new Error(`channel_rdp_server exited: ${record.output.slice(-2000)}`);
    const i = lines.findIndex((l) => l.startsWith(prefix));
    return i < 0 ? null : lines.splice(i, 1)[0];
  });
  const port = Number((await next('PORT ')).slice(5));
  return { record, port, next, pending: (prefix) => lines.some((l) => l.startsWith(prefix)), send: (line) => record.child.stdin.write(`${line}\n`) };
}

const utf16Hex = (text) => Buffer.from(`${text}\0`, 'utf16le').toString('hex');
const fromUtf16Hex = (line) => Buffer.from(line.replace(/^PASTE /, ''), 'hex').toString('utf16le');

test('clipboard: text copied in the VM reaches the browser clipboard, text from the browser reaches the VM', async () => {
  const server = await startChannelServer();
  const shadowPort = rdpPort;
  rdpPort = server.port;
  try {
    await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: base });
    await page.goto(`${base}/rdp/${encodeURIComponent(vmId)}`);
    await page.waitForFunction(() => window.hbrConsole?.state.phase === 'connected', null, { timeout: GUARD });
    await server.next('CLIPREADY');
    await server.next('FORMATS ');

    // The VM copies: the browser's clipboard holds the text.
    const guestText = 'Grüße, €5\nzweite Zeile 漢字 😀';
    server.send(`COPY ${utf16Hex(guestText)}`);
    await until('the VM text on the browser clipboard', async () => (await page.evaluate(() => navigator.clipboard.readText())) === guestText);
    assert.deepEqual(await page.evaluate(() => window.hbrConsole.state.clipboard.fromGuest), [guestText]);
    assert.ok(await page.isHidden('#clipboard'), 'no fallback when the browser allows the write');

    // "Send clipboard": the browser's text becomes the VM's clipboard.
    await page.evaluate(() => navigator.clipboard.writeText('from the page: ñ € 😀'));
    await page.click('#sendclip');
    assert.equal(await server.next('FORMATS '), 'FORMATS 13');
    assert.equal(fromUtf16Hex(await server.next('PASTE ')), 'from the page: ñ € 😀\0');

    // A paste into the page does the same.
    await page.evaluate(() => {
      const data = new DataTransfer();
      data.setData('text/plain', 'pasted into the page');
      document.dispatchEvent(new ClipboardEvent('paste', { clipboardData: data, bubbles: true }));
    });
    await server.next('FORMATS 13');
    assert.equal(fromUtf16Hex(await server.next('PASTE ')), 'pasted into the page\0');

    // 1 MB goes in parts; one byte more is refused in the page, visibly, and nothing is sent.
    const mb = 'é'.repeat(1 << 19);
    assert.equal(await page.evaluate((t) => window.hbrConsole.sendClipboard(t), mb), true);
    await server.next('FORMATS 13');
    assert.equal(fromUtf16Hex(await server.next('PASTE ')), `${mb}\0`);
    assert.equal(await page.evaluate((t) => window.hbrConsole.sendClipboard(`${t}x`), mb), false);
    assert.match(await page.textContent('#clipnote'), /larger than 1 MB/);
    assert.ok(await page.isVisible('#clipboard'));
    await shot('console-clipboard-refused');

    // A browser that refuses the write: the text is shown, selected, to copy by hand.
    await page.evaluate(() => { navigator.clipboard.writeText = () => Promise.reject(new DOMException('denied', 'NotAllowedError')); });
    server.send(`COPY ${utf16Hex('copy me by hand')}`);
    await page.waitForFunction(() => window.hbrConsole.state.clipboard.refused === 1, null, { timeout: GUARD });
    assert.equal(await page.inputValue('#cliptext'), 'copy me by hand');
    assert.ok(await page.isVisible('#cliptext'));
    assert.match(await page.textContent('#clipnote'), /did not let this page write/);
    await shot('console-clipboard-fallback');
    assert.equal(server.pending('FORMATS '), false, 'the refused text never reached the VM');
    assert.deepEqual(await page.evaluate(() => window.hbrConsole.state.errors), []);
    assert.deepEqual(pageErrors, []);
  } finally {
    rdpPort = shadowPort;
    await stop(server.record);
  }
});

// The space the canvas has in the page: what the page should ask the guest for.
const canvasRoom = () => page.evaluate(() => {
  const main = document.querySelector('main');
  const s = getComputedStyle(main);
  const w = main.clientWidth - parseFloat(s.paddingLeft) - parseFloat(s.paddingRight);
  const h = window.innerHeight - main.getBoundingClientRect().top - parseFloat(s.paddingTop) - parseFloat(s.paddingBottom);
  return [Math.floor(w) & ~1, Math.floor(h)];
});

test('resize: where the server offers display control the VM\'s resolution follows the window', async () => {
  const server = await startChannelServer();
  const shadowPort = rdpPort;
  rdpPort = server.port;
  try {
    await page.setViewportSize({ width: 1280, height: 900 });
    await page.goto(`${base}/rdp/${encodeURIComponent(vmId)}`);
    await page.waitForFunction(() => window.hbrConsole?.state.displayControl === true, null, { timeout: GUARD });
    // At once the guest takes the window's size, and the canvas the guest's.
    let room = await canvasRoom();
    assert.equal(await server.next('LAYOUT '), `LAYOUT ${room[0]}x${room[1]}`);
    await page.waitForFunction(([w, h]) => window.hbrConsole.canvas.width === w && window.hbrConsole.canvas.height === h, room, { timeout: GUARD });
    // A smaller window, in several steps: the guest follows to the last size.
    for (const [width, height] of [[1100, 800], [1000, 760], [960, 700]]) await page.setViewportSize({ width, height });
    room = await canvasRoom();
    await page.waitForFunction(([w, h]) => window.hbrConsole.canvas.width === w && window.hbrConsole.canvas.height === h, room, { timeout: GUARD });
    const layouts = [];
    while (server.pending('LAYOUT ')) layouts.push(await server.next('LAYOUT '));
    assert.equal(layouts.at(-1), `LAYOUT ${room[0]}x${room[1]}`);
    await shot('console-resized');
    assert.deepEqual(pageErrors, []);
  } finally {
    rdpPort = shadowPort;
    await stop(server.record);
    await page.setViewportSize({ width: 1280, height: 900 });
  }
});

test('the keyboard layout chosen in the page is the one the session announces to the server', async () => {
  const server = await startChannelServer();
  const shadowPort = rdpPort;
  rdpPort = server.port;
  try {
    for (const [choice, klid] of [['fr', '0000040c'], ['ja', '00000411'], ['en-GB', '00000809']]) {
      await page.goto(`${base}/rdp/${encodeURIComponent(vmId)}`);
      await page.waitForFunction(() => window.hbrConsole?.state.phase === 'connected', null, { timeout: GUARD });
      // A new choice reconnects; the server sees the layout of each session.
      await server.next('KEYBOARD ');
      await page.selectOption('#layout', choice);
      assert.equal(await server.next('KEYBOARD '), `KEYBOARD ${klid}`, choice);
      await page.waitForFunction(() => window.hbrConsole.state.phase === 'connected', null, { timeout: GUARD });
    }
  } finally {
    rdpPort = shadowPort;
    await stop(server.record);
    await page.evaluate(() => localStorage.removeItem('hbr.console.layout'));
  }
});

test('characters with no key on the layout reach the VM as Unicode key events', async () => {
  // The shadow server drops Unicode events (its X11 side has no way to type them), so the
  // channel test server reports what arrives.
  const server = await startChannelServer();
  const shadowPort = rdpPort;
  rdpPort = server.port;
  try {
    await page.goto(`${base}/rdp/${encodeURIComponent(vmId)}`);
    await page.waitForFunction(() => window.hbrConsole?.state.phase === 'connected', null, { timeout: GUARD });
    // What a keyboard or input method with these characters gives the page: key events whose
    // key is the character and whose physical key the page does not know. (Playwright's own
    // typing inserts such characters as text, without key events.)
    await page.evaluate(() => {
      const c = window.hbrConsole.canvas;
      for (const key of ['€', '漢']) {
        c.dispatchEvent(new KeyboardEvent('keydown', { key, code: '', bubbles: true, cancelable: true }));
        c.dispatchEvent(new KeyboardEvent('keyup', { key, code: '', bubbles: true, cancelable: true }));
      }
    });
    const events = [];
    for (let i = 0; i < 4; i++) events.push(await server.next('UNICODE '));
    assert.deepEqual(events, ['UNICODE down 20ac', 'UNICODE up 20ac', 'UNICODE down 6f22', 'UNICODE up 6f22']);
  } finally {
    rdpPort = shadowPort;
    await stop(server.record);
  }
});

test('resize: without display control (the shadow server) the canvas keeps the VM\'s size and scales', async () => {
  await page.goto(`${base}/rdp/${encodeURIComponent(vmId)}`);
  await page.waitForFunction(() => window.hbrConsole?.state.phase === 'connected', null, { timeout: GUARD });
  await until('the desktop size', () => page.evaluate(() => window.hbrConsole.state.counts.resize > 0));
  await page.setViewportSize({ width: 800, height: 600 });
  const after = await page.evaluate(() => {
    window.hbrConsole.askForWindowSize();
    const c = window.hbrConsole.canvas;
    return { control: window.hbrConsole.state.displayControl, asked: window.hbrConsole.state.sizesAsked.length, size: [c.width, c.height], shown: c.getBoundingClientRect().width };
  });
  assert.deepEqual(after, { control: false, asked: 0, size: [WIDTH, HEIGHT], shown: after.shown });
  assert.ok(after.shown < WIDTH, `the canvas is scaled down to ${after.shown} pixels wide`);
  await page.setViewportSize({ width: 1280, height: 900 });
});
