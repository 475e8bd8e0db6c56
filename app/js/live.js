// The dashboard's live data, fetched every few seconds while anybody listens and the page is
// visible. The request names the tag of the reply held, so an unchanged reply costs the server
// a "not modified" and the page nothing. Listeners get the whole reply and whether it changed
// since the last call; a failure is handed on as an error.
import { getIfChanged } from './api.js';

const PERIOD_MS = 3000;
const listeners = new Set();
let timer = null;
let last = null;
let lastTag = null;
let inFlight = false;

async function tick() {
  timer = null;
  if (inFlight) return;
  inFlight = true;
  let data = last;
  let changed = false;
  let error = null;
  try {
    const reply = {};
    const fresh = await getIfChanged('/api/livedata', last ? lastTag : null, reply);
    if (fresh !== null || !last) {
      data = fresh && typeof fresh === 'object' ? fresh : {};
      if (!Array.isArray(data.vms)) data.vms = [];
      if (!Array.isArray(data.servers)) data.servers = [];
      last = data;
      lastTag = reply.etag || null;
      changed = true;
    }
  } catch (e) {
    error = e;
  }
  inFlight = false;
  for (const fn of [...listeners]) {
    try { fn(error ? null : data, error, changed); } catch (e) { console.error(e); }
  }
  schedule();
}

function schedule() {
  if (timer || listeners.size === 0 || document.hidden) return;
  timer = setTimeout(tick, PERIOD_MS);
}

document.addEventListener('visibilitychange', () => {
  if (!document.hidden && listeners.size && !timer && !inFlight) tick();
});

// Subscribes; the listener is called at once with the last reply (if any) and then after every
// fetch, as fn(data, error, changed). Returns the function that unsubscribes.
export function subscribe(fn) {
  listeners.add(fn);
  if (last) fn(last, null, true);
  if (!timer && !inFlight) tick();
  return () => listeners.delete(fn);
}

// Fetch now (after an action) instead of waiting for the next period.
export function refreshSoon() {
  if (timer) { clearTimeout(timer); timer = null; }
  if (!inFlight && listeners.size) tick();
}

export function lastLive() { return last; }
