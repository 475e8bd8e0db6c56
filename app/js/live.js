// The dashboard's live data, fetched every few seconds while anybody listens and the page is
// visible. Listeners get the whole reply; a failure is handed on as an error.
import { get } from './api.js';

const PERIOD_MS = 3000;
const listeners = new Set();
let timer = null;
let last = null;
let inFlight = false;

async function tick() {
  timer = null;
  if (inFlight) return;
  inFlight = true;
  let data;
  let error = null;
  try {
    data = await get('/api/livedata');
    if (!Array.isArray(data.vms)) data.vms = [];
    if (!Array.isArray(data.servers)) data.servers = [];
    last = data;
  } catch (e) {
    error = e;
  }
  inFlight = false;
  for (const fn of [...listeners]) {
    try { fn(error ? null : data, error); } catch (e) { console.error(e); }
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
// fetch. Returns the function that unsubscribes.
export function subscribe(fn) {
  listeners.add(fn);
  if (last) fn(last, null);
  if (!timer && !inFlight) tick();
  return () => listeners.delete(fn);
}

// Fetch now (after an action) instead of waiting for the next period.
export function refreshSoon() {
  if (timer) { clearTimeout(timer); timer = null; }
  if (!inFlight && listeners.size) tick();
}

export function lastLive() { return last; }
