// The console page: one WebSocket to /ws, the screen drawn on a canvas from the server's
// binary messages, pointer images from /cur/, keyboard and mouse sent back.
//
// Colours in the server's messages are u32 little-endian with the bytes R, G, B, A.
import { decodeBitmap } from './codecs.js';
import { keepSessionAlive } from '../js/keepalive.js';

keepSessionAlive();

const canvas = document.getElementById('screen');
const ctx = canvas.getContext('2d');
const statusLine = document.getElementById('status');
const errorBox = document.getElementById('errors');
const lowBandwidth = document.getElementById('lowbw');

// True colour unless the user chose low bandwidth (16 bits per pixel), kept for next time.
lowBandwidth.checked = localStorage.getItem('hbr.console.lowBandwidth') === '1';
const colourDepth = () => (lowBandwidth.checked ? 16 : 32);

// The guest's keyboard layout, announced at connect: by default the browser's language.
const layoutMenu = document.getElementById('layout');
const LAYOUTS = ['en-US', 'en-GB', 'de', 'fr', 'es', 'it', 'ru', 'ja'];
function defaultLayout() {
  const lang = (navigator.language || 'en-US').toLowerCase();
  if (lang === 'en-gb' || lang === 'en-ie') return 'en-GB';
  const base = lang.split('-')[0];
  return LAYOUTS.includes(base) ? base : 'en-US';
}
const storedLayout = localStorage.getItem('hbr.console.layout');
layoutMenu.value = LAYOUTS.includes(storedLayout) ? storedLayout : defaultLayout();

// Physical keys (KeyboardEvent.code) to their scancodes, 0x100 marking the extended ones: the
// guest's layout, not the browser's, makes characters of them.
const SCANCODES = (() => {
  const t = {
    Escape: 0x01, Minus: 0x0c, Equal: 0x0d, Backspace: 0x0e, Tab: 0x0f, BracketLeft: 0x1a, BracketRight: 0x1b,
    Enter: 0x1c, ControlLeft: 0x1d, Semicolon: 0x27, Quote: 0x28, Backquote: 0x29, ShiftLeft: 0x2a, Backslash: 0x2b,
    Comma: 0x33, Period: 0x34, Slash: 0x35, ShiftRight: 0x36, NumpadMultiply: 0x37, AltLeft: 0x38, Space: 0x39,
    CapsLock: 0x3a, NumLock: 0x45, ScrollLock: 0x46, Numpad7: 0x47, Numpad8: 0x48, Numpad9: 0x49, NumpadSubtract: 0x4a,
    Numpad4: 0x4b, Numpad5: 0x4c, Numpad6: 0x4d, NumpadAdd: 0x4e, Numpad1: 0x4f, Numpad2: 0x50, Numpad3: 0x51,
    Numpad0: 0x52, NumpadDecimal: 0x53, IntlBackslash: 0x56, F11: 0x57, F12: 0x58, IntlRo: 0x73, Convert: 0x79,
    NonConvert: 0x7b, IntlYen: 0x7d, NumpadEnter: 0x11c, ControlRight: 0x11d, NumpadDivide: 0x135, PrintScreen: 0x137,
    AltRight: 0x138, Home: 0x147, ArrowUp: 0x148, PageUp: 0x149, ArrowLeft: 0x14b, ArrowRight: 0x14d, End: 0x14f,
    ArrowDown: 0x150, PageDown: 0x151, Insert: 0x152, Delete: 0x153, MetaLeft: 0x15b, MetaRight: 0x15c, ContextMenu: 0x15d,
  };
  '1234567890'.split('').forEach((d, i) => { t[`Digit${d}`] = 0x02 + i; });
  'QWERTYUIOP'.split('').forEach((c, i) => { t[`Key${c}`] = 0x10 + i; });
  'ASDFGHJKL'.split('').forEach((c, i) => { t[`Key${c}`] = 0x1e + i; });
  'ZXCVBNM'.split('').forEach((c, i) => { t[`Key${c}`] = 0x2c + i; });
  for (let n = 1; n <= 10; n++) t[`F${n}`] = 0x3a + n;
  return t;
})();

// The console's state, also the handle a browser test drives.
const state = {
  pcb: decodeURIComponent(location.pathname.replace(/^.*\/rdp\//, '')),
  sessionId: '',
  phase: 'connecting', // connecting, connected, ended, failed
  texts: [],
  errors: [],
  counts: {},
  cursors: new Map(),
  depths: new Set(), // bits per pixel of the bitmaps the server sent
  bounds: null,
  socket: null,
};
state.clipboard = { fromGuest: [], notices: [], written: 0, refused: 0 };
// True once the server offers display control ("D:"): the guest's resolution then follows the
// window; otherwise the canvas is scaled to fit.
state.displayControl = false;
state.sizesAsked = [];
window.hbrConsole = { canvas, state, sendCtrlAltDel, sendText, sendMessage, sendSpecial, reconnect, sendClipboard, askForWindowSize };
const reconnectButton = document.getElementById('reconnect');

function setPhase(phase, text) {
  state.phase = phase;
  document.body.dataset.phase = phase;
  statusLine.textContent = text;
}

function sendMessage(fields) {
  if (!state.socket || state.socket.readyState !== WebSocket.OPEN) return;
  const view = new DataView(new ArrayBuffer(fields.length * 4));
  fields.forEach((v, i) => view.setUint32(i * 4, v >>> 0, true));
  state.socket.send(view.buffer);
}

function sendCtrlAltDel() { sendMessage([3, 0]); }

function sendText(text) {
  const units = [];
  for (let i = 0; i < text.length; i++) units.push(text.charCodeAt(i));
  for (let i = 0; i < units.length; i += 1024) sendMessage([5, ...units.slice(i, i + 1024)]);
}

// Clipboard text for the guest: UTF-8 in parts (a socket message holds at most 64 KB), each
// message 7 with a flag for the last part. At most 1 MB; larger text is refused here.
const CLIPBOARD_MAX = 1 << 20;
const CLIPBOARD_PART = 60000;
const clipboardBox = document.getElementById('clipboard');
const clipboardNote = document.getElementById('clipnote');
const clipboardText = document.getElementById('cliptext');

function clipboardNotice(text, fallbackText) {
  state.clipboard.notices.push(text);
  clipboardNote.textContent = text;
  clipboardText.hidden = fallbackText === undefined;
  if (fallbackText !== undefined) {
    clipboardText.value = fallbackText;
    clipboardText.select();
  }
  clipboardBox.hidden = false;
}

function sendClipboard(text) {
  const bytes = new TextEncoder().encode(text);
  if (bytes.length > CLIPBOARD_MAX) {
    clipboardNotice(`The clipboard text is larger than 1 MB (${bytes.length} bytes); it was not sent.`);
    return false;
  }
  if (!state.socket || state.socket.readyState !== WebSocket.OPEN || state.phase !== 'connected') return false;
  let at = 0;
  do {
    const part = bytes.subarray(at, at + CLIPBOARD_PART);
    at += part.length;
    const message = new Uint8Array(8 + part.length);
    const view = new DataView(message.buffer);
    view.setUint32(0, 7, true);
    view.setUint32(4, at >= bytes.length ? 1 : 0, true);
    message.set(part, 8);
    state.socket.send(message);
  } while (at < bytes.length);
  return true;
}

// The guest copied text: onto the browser's clipboard when the browser allows it, else shown
// for the user to copy by hand.
function onGuestClipboard(text) {
  state.clipboard.fromGuest.push(text);
  const fallback = () => {
    state.clipboard.refused += 1;
    clipboardNotice('Copied in the VM. The browser did not let this page write its clipboard; copy the text below.', text);
  };
  if (!navigator.clipboard || !navigator.clipboard.writeText) return fallback();
  navigator.clipboard.writeText(text).then(() => { state.clipboard.written += 1; }, fallback);
}

async function sendBrowserClipboard() {
  let text;
  try {
    text = await navigator.clipboard.readText();
  } catch (err) {
    clipboardNotice('The browser did not let this page read its clipboard; paste into the page (Ctrl+V in the bar) instead.');
    return;
  }
  sendClipboard(text);
}

// The space the canvas has in the window, asked of the guest 400 ms after the last change
// (a window being dragged larger changes size many times a second). Message 8: u32 width
// (even), u32 height, each 200 to 8192.
const RESIZE_SETTLE_MS = 400;
let resizeTimer = 0;
function windowSize() {
  const main = canvas.parentElement;
  const style = getComputedStyle(main);
  const width = main.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
  const height = window.innerHeight - main.getBoundingClientRect().top - parseFloat(style.paddingTop) - parseFloat(style.paddingBottom);
  const clamp = (v) => Math.max(200, Math.min(8192, Math.floor(v)));
  return [clamp(width) & ~1, clamp(height)];
}
function askForWindowSize() {
  if (!state.displayControl || state.phase !== 'connected') return;
  const [width, height] = windowSize();
  if (width === canvas.width && height === canvas.height) return;
  state.sizesAsked.push([width, height]);
  sendMessage([8, width, height]);
}
window.addEventListener('resize', () => {
  clearTimeout(resizeTimer);
  resizeTimer = setTimeout(askForWindowSize, RESIZE_SETTLE_MS);
});

// Key combinations a browser or the local system would take for itself, as key codes pressed
// in order and released in reverse; Ctrl+Alt+Del and Alt+Tab have messages of their own.
const CTRL = 17, ALT = 18;
const SPECIAL_KEYS = {
  'ctrl-alt-del': null,
  'alt-tab': null,
  windows: [91],
  'alt-f4': [ALT, 115],
  prtscn: [44],
  'ctrl-alt-end': [CTRL, ALT, 35],
};
for (let n = 1; n <= 12; n++) SPECIAL_KEYS[`f${n}`] = [111 + n];

function sendSpecial(name) {
  if (name === 'ctrl-alt-del') return sendCtrlAltDel();
  if (name === 'alt-tab') return sendMessage([3, 1]);
  const keys = SPECIAL_KEYS[name];
  if (!keys) return;
  for (const k of keys) sendMessage([1, 1, k]);
  for (const k of [...keys].reverse()) sendMessage([1, 0, k]);
}

// The session ended or never began: the page's own cursor comes back and a new session can be
// asked for.
function showEnded(phase, text) {
  setPhase(phase, text);
  canvas.style.cursor = 'default';
  reconnectButton.hidden = false;
}

function reconnect() {
  if (state.socket) { state.socket.onclose = null; state.socket.close(); }
  Object.assign(state, { sessionId: '', texts: [], errors: [], counts: {}, cursors: new Map(), bounds: null, depths: new Set(), displayControl: false });
  errorBox.replaceChildren();
  errorBox.hidden = true;
  reconnectButton.hidden = true;
  setPhase('connecting', 'Connecting…');
  connect();
  canvas.focus();
}

function connect() {
  const ws = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/ws');
  ws.binaryType = 'arraybuffer';
  state.socket = ws;
  ws.onopen = () => {
    const json = JSON.stringify({ pcb: state.pcb, nowallp: 1, nomani: 1, notheme: 1, bpp: colourDepth(), kbd: layoutMenu.value });
    sendMessage([4, ...Array.from(json, (c) => c.charCodeAt(0) & 0xff)]);
  };
  ws.onmessage = (e) => { if (ws === state.socket) (typeof e.data === 'string' ? onText(e.data) : onBinary(e.data)); };
  ws.onclose = () => {
    if (ws !== state.socket) return;
    if (state.phase === 'connecting' || state.phase === 'connected')
      showEnded(state.errors.length ? 'failed' : 'ended', state.errors.length ? 'Disconnected.' : 'The connection to the console was lost.');
  };
}

function onText(text) {
  state.texts.push(text);
  const kind = text.slice(0, 2), rest = text.slice(2);
  if (kind === 'S:') state.sessionId = rest;
  else if (kind === 'C:') setPhase('connected', rest);
  else if (kind === 'D:') { state.displayControl = true; askForWindowSize(); }
  else if (kind === 'P:') onGuestClipboard(rest);
  else if (kind === 'W:') clipboardNotice(rest);
  else if (kind === 'T:') showEnded('ended', rest || 'The session has ended.'); // the reason, when known
  else if (kind === 'E:') {
    // Several errors may come in one message, each beginning with "E:".
    for (const line of text.split('\nE:')) {
      const msg = line.replace(/^E:/, '');
      state.errors.push(msg);
      const p = document.createElement('p');
      p.textContent = msg;
      errorBox.appendChild(p);
    }
    errorBox.hidden = false;
  }
}

function color(view, offset) {
  const v = view.getUint32(offset, true);
  return `rgb(${v & 0xff},${(v >> 8) & 0xff},${(v >> 16) & 0xff})`;
}

function withBounds(draw) {
  const b = state.bounds;
  if (!b) return draw();
  ctx.save();
  ctx.beginPath();
  ctx.rect(b[0], b[1], b[2] - b[0], b[3] - b[1]);
  ctx.clip();
  try { draw(); } finally { ctx.restore(); }
}

const ROP_BLACKNESS = 0x00000042, ROP_WHITENESS = 0x00ff0062, ROP_DSTINVERT = 0x00550009, ROP_PATINVERT = 0x005a0049;

function fillRop(x, y, w, h, css, rop) {
  ctx.save();
  if (rop === ROP_BLACKNESS) css = '#000';
  else if (rop === ROP_WHITENESS) css = '#fff';
  else if (rop === ROP_DSTINVERT) { css = '#fff'; ctx.globalCompositeOperation = 'difference'; }
  else if (rop === ROP_PATINVERT) ctx.globalCompositeOperation = 'difference';
  ctx.fillStyle = css;
  ctx.fillRect(x, y, w, h);
  ctx.restore();
}

function drawBitmap(view, bytes) {
  const left = view.getUint32(4, true), top = view.getUint32(8, true);
  const width = view.getUint32(12, true), height = view.getUint32(16, true);
  const dw = view.getUint32(20, true), dh = view.getUint32(24, true);
  const bpp = view.getUint32(28, true), compressed = view.getUint32(32, true);
  const length = view.getUint32(36, true);
  if (!width || !height || 40 + length > bytes.length) return;
  const data = bytes.subarray(40, 40 + length);
  state.depths.add(bpp);
  let rgba;
  try {
    rgba = decodeBitmap(data, width, height, bpp, compressed !== 0);
  } catch (err) {
    state.counts.badBitmaps = (state.counts.badBitmaps || 0) + 1;
    return;
  }
  const image = new ImageData(rgba, width, height);
  ctx.putImageData(image, left, top, 0, 0, Math.min(dw, width), Math.min(dh, height));
}

function setCursor(id) {
  const c = state.cursors.get(id);
  canvas.style.cursor = c ? `url(/cur/${state.sessionId}/${id}) ${c.x} ${c.y}, default` : 'default';
}

function onBinary(buffer) {
  const bytes = new Uint8Array(buffer);
  const view = new DataView(buffer);
  if (bytes.length >= 2 && bytes[0] === 0x52 && bytes[1] === 0x3a) { // "R:"
    const m = /^R:(\d+)x(\d+)$/.exec(new TextDecoder().decode(bytes));
    if (m) { canvas.width = +m[1]; canvas.height = +m[2]; }
    state.counts.resize = (state.counts.resize || 0) + 1;
    return;
  }
  if (bytes.length < 4) return;
  const type = view.getUint32(0, true);
  state.counts[type] = (state.counts[type] || 0) + 1;
  const i32 = (o) => view.getInt32(o, true);
  switch (type) {
    case 0: case 1: break; // paint brackets: the canvas draws at once
    case 2: if (bytes.length >= 40) drawBitmap(view, bytes); break;
    case 3: if (bytes.length >= 24) withBounds(() => { ctx.fillStyle = color(view, 20); ctx.fillRect(i32(4), i32(8), i32(12), i32(16)); }); break;
    case 4:
      if (bytes.length >= 20) {
        const b = [i32(4), i32(8), i32(12), i32(16)];
        state.bounds = b.every((v) => v === 0) ? null : b;
      }
      break;
    case 5: if (bytes.length >= 28) withBounds(() => fillRop(i32(4), i32(8), i32(12), i32(16), color(view, 20), view.getUint32(24, true))); break;
    case 6: {
      if (bytes.length < 12) break;
      const css = color(view, 4), n = Math.min(view.getUint32(8, true), (bytes.length - 12) >> 4);
      withBounds(() => {
        ctx.fillStyle = css;
        for (let k = 0; k < n; k++) { const o = 12 + 16 * k; ctx.fillRect(i32(o), i32(o + 4), i32(o + 8), i32(o + 12)); }
      });
      break;
    }
    case 7:
      if (bytes.length >= 32) {
        const [x, y, w, h, sx, sy] = [i32(8), i32(12), i32(16), i32(20), i32(24), i32(28)];
        if (w > 0 && h > 0) withBounds(() => ctx.drawImage(canvas, sx, sy, w, h, x, y, w, h));
      }
      break;
    case 8: if (bytes.length >= 16) state.cursors.set(view.getUint32(4, true), { x: view.getUint32(8, true), y: view.getUint32(12, true) }); break;
    case 9: if (bytes.length >= 8) state.cursors.delete(view.getUint32(4, true)); break;
    case 10: if (bytes.length >= 8) setCursor(view.getUint32(4, true)); break;
    case 11: canvas.style.cursor = 'none'; break;
    case 12: canvas.style.cursor = 'default'; break;
    default: break;
  }
}

// Mouse: RDP pointer flags.
const PTR_MOVE = 0x0800, PTR_DOWN = 0x8000, PTR_WHEEL = 0x0200, PTR_WHEEL_NEGATIVE = 0x0100;
const BUTTONS = [0x1000, 0x4000, 0x2000]; // left, middle, right

function position(e) {
  const r = canvas.getBoundingClientRect();
  const x = Math.round(((e.clientX - r.left) * canvas.width) / r.width);
  const y = Math.round(((e.clientY - r.top) * canvas.height) / r.height);
  return [Math.max(0, Math.min(canvas.width - 1, x)), Math.max(0, Math.min(canvas.height - 1, y))];
}

canvas.addEventListener('mousemove', (e) => sendMessage([0, PTR_MOVE, ...position(e)]));
canvas.addEventListener('mousedown', (e) => {
  canvas.focus();
  if (BUTTONS[e.button]) sendMessage([0, BUTTONS[e.button] | PTR_DOWN, ...position(e)]);
  e.preventDefault();
});
canvas.addEventListener('mouseup', (e) => {
  if (BUTTONS[e.button]) sendMessage([0, BUTTONS[e.button], ...position(e)]);
  e.preventDefault();
});
canvas.addEventListener('contextmenu', (e) => e.preventDefault());
canvas.addEventListener('wheel', (e) => {
  const negative = e.deltaY > 0;
  sendMessage([0, PTR_WHEEL | (negative ? PTR_WHEEL_NEGATIVE | (0x100 - 120) : 120), ...position(e)]);
  e.preventDefault();
}, { passive: false });

// Keyboard: every physical key as its scancode going down and up, so the guest sees modifiers
// held exactly as the user holds them (Ctrl+C copies there) and its own layout decides the
// characters. A character that comes with no known key (an input method, a key the table does
// not know) goes as the character itself; anything else as its key code.
function onKey(e, down) {
  e.preventDefault();
  const scancode = SCANCODES[e.code];
  if (scancode) return sendMessage([6, down ? 1 : 0, scancode]);
  if (e.key && [...e.key].length === 1) { if (down) sendText(e.key); return; }
  if (e.keyCode) sendMessage([1, down ? 1 : 0, e.keyCode]);
}
canvas.addEventListener('keydown', (e) => onKey(e, true));
canvas.addEventListener('keyup', (e) => onKey(e, false));
canvas.addEventListener('blur', () => sendMessage([3, 2])); // no Alt left held after Alt+Tab
// Text pasted into the page becomes the guest's clipboard; the guest's own paste then takes it.
document.addEventListener('paste', (e) => {
  const text = e.clipboardData && e.clipboardData.getData('text/plain');
  if (text) { sendClipboard(text); e.preventDefault(); }
});
document.getElementById('sendclip').addEventListener('click', () => { sendBrowserClipboard(); canvas.focus(); });
document.getElementById('clipclose').addEventListener('click', () => { clipboardBox.hidden = true; canvas.focus(); });

document.getElementById('cad').addEventListener('click', () => { sendCtrlAltDel(); canvas.focus(); });
const keysMenu = document.getElementById('keys');
keysMenu.addEventListener('change', () => {
  sendSpecial(keysMenu.value);
  keysMenu.value = '';
  canvas.focus();
});
reconnectButton.addEventListener('click', reconnect);
layoutMenu.addEventListener('change', () => {
  localStorage.setItem('hbr.console.layout', layoutMenu.value);
  if (state.phase === 'connected') reconnect();
});
lowBandwidth.addEventListener('change', () => {
  localStorage.setItem('hbr.console.lowBandwidth', lowBandwidth.checked ? '1' : '0');
  if (state.phase === 'connected') reconnect();
});
document.getElementById('full').addEventListener('click', () => canvas.requestFullscreen && canvas.requestFullscreen());
// In full screen the keys the browser keeps for itself (Ctrl+W, Ctrl+T, Alt+Tab, Escape) go
// to the guest where the browser offers keyboard lock; leaving full screen gives them back.
document.addEventListener('fullscreenchange', () => {
  const kb = navigator.keyboard;
  if (!kb || !kb.lock) return;
  if (document.fullscreenElement) kb.lock().catch(() => {});
  else kb.unlock();
});

setPhase('connecting', 'Connecting…');
connect();
canvas.focus();
