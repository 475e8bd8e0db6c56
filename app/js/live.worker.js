// Fetches and reads the live data away from the page's main thread: at estate scale the reply
// runs to megabytes, and reading it and finding the few VMs that changed would otherwise hold
// up scrolling and typing every few seconds. The page first hands over the reply it read itself
// ({ seed, tag }); each "fetch" message is then answered with one message:
// { notModified } when the server says the reply held is current, { changed, removed, servers }
// after a new reply, or { error: { status, text, loggedOut } }.
import { LiveDiff, fetchLiveReply, readLive, takeLiveReply } from './livediff.js';

const diff = new LiveDiff();
let tag = null;
// Milliseconds spent reading and comparing replies, so a benchmark can tell what the page's
// main thread was spared.
self.readingMs = 0;

async function fetchLive() {
  const reply = await fetchLiveReply(tag);
  if (!reply.res) return reply.result;
  const started = performance.now();
  try {
    const taken = takeLiveReply(diff, reply.res, reply.text);
    if ('tag' in taken) tag = taken.tag;
    return taken.result;
  } finally {
    self.readingMs += performance.now() - started;
  }
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
