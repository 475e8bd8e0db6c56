// Fetches and reads the live data away from the page's main thread: at estate scale the reply
// runs to megabytes, and reading it and finding the few VMs that changed would otherwise hold
// up scrolling and typing every few seconds. The page first hands over the reply it read itself
// ({ seed, tag }); each "fetch" message is then answered with one message:
// { notModified } when the server says the reply held is current, { changed, removed, servers }
// after a new reply, or { error: { status, text, loggedOut } }.
import { LiveDiff, readLive } from './livediff.js';

const diff = new LiveDiff();
let tag = null;
// Milliseconds spent reading and comparing replies, so a benchmark can tell what the page's
// main thread was spared.
self.readingMs = 0;

async function fetchLive() {
  let res;
  try {
    res = await fetch('/api/livedata', { credentials: 'same-origin', headers: tag ? { 'If-None-Match': tag } : {} });
  } catch {
    return { error: { status: 0, text: 'The server cannot be reached.' } };
  }
  if (res.status === 304) return { notModified: true };
  const text = await res.text();
  const started = performance.now();
  try {
    return take(res, text);
  } finally {
    self.readingMs += performance.now() - started;
  }
}

function take(res, text) {
  if (!res.ok) return { error: { status: res.status, text: text.trim() || `${res.status} ${res.statusText}` } };
  // Redirected to the login page: the session is gone.
  if (res.redirected && new URL(res.url).pathname === '/login.html') return { error: { status: 401, text: 'Your session has ended.', loggedOut: true } };
  let data;
  try {
    data = readLive(text.trim() === '' ? '{}' : text);
  } catch (e) {
    return { error: { status: res.status, text: `The server sent a reply that cannot be read (${e.message}).` } };
  }
  tag = res.headers.get('ETag');
  return diff.take(data);
}

self.onmessage = async (event) => {
  const m = event.data;
  if (m === 'fetch') {
    const reply = await fetchLive();
    const started = performance.now();
    self.postMessage(reply);
    self.readingMs += performance.now() - started;
  } else if (m && typeof m.seed === 'string') {
    // The reply the page read itself: the next ones are compared with it.
    const started = performance.now();
    try {
      diff.take(readLive(m.seed.trim() === '' ? '{}' : m.seed));
      tag = typeof m.tag === 'string' ? m.tag : null;
    } catch { /* the next reply comes whole */ }
    self.readingMs += performance.now() - started;
  }
};
