// The dashboard's live data, fetched every few seconds while anybody listens and the page is
// visible. A worker fetches and reads the reply and hands over only the VMs that changed; the
// request names the tag of the reply held, so an unchanged reply costs the server a "not
// modified" and the page nothing.
//
// Listeners are called after every fetch as fn(data, error, changed, delta): data.servers,
// data.vms (every VM, as an array made on first use) and data.vm(id); changed says whether
// anything changed since the listener's last call; delta is { changed: [vm], removed: [id] }
// since that call, or null on a listener's first call, when it takes data.vms whole.
import { failure } from './api.js';
import { LiveDiff, fetchLiveReply, takeLiveReply } from './livediff.js';

const PERIOD_MS = 3000;
const listeners = new Map(); // fn -> whether it has had a first call
let timer = null;
let inFlight = false;
let last = null;
let fetchedAt = -Infinity; // when the last fetch ended
const vms = new Map(); // id -> VM, in the order they were first listed
let servers = [];
let vmList = null; // data.vms, made again after a change

// ---- fetching ------------------------------------------------------------------------------
// The first reply is read here, as the page waits for it anyway and a worker takes a while to
// start; the worker gets that reply's text to compare the next ones with, and fetches and reads
// every later reply. Without a worker (or when it fails) the page goes on alone.

let worker; // undefined: not tried yet; null: none
let seeded = false;
let pendingReply = null;
const localDiff = new LiveDiff();
let localTag = null;

function startWorker() {
  if (worker !== undefined) return worker;
  worker = null;
  if (typeof Worker !== 'function') return null;
  try {
    worker = new Worker(new URL('./live.worker.js', import.meta.url), { type: 'module', name: 'live data' });
  } catch {
    return null;
  }
  worker.onmessage = (event) => { const r = pendingReply; pendingReply = null; r?.resolve(event.data); };
  // A worker that cannot start (no module workers, its script refused) gives way to the page.
  worker.onerror = (event) => {
    event.preventDefault?.();
    dropWorker();
  };
  return worker;
}

function dropWorker() {
  if (!worker) return;
  worker.terminate();
  worker = null;
  if (seeded) {
    // The page compares from the VMs it holds; the next reply comes whole.
    seeded = false;
    localDiff.vms = new Map(vms);
    localTag = null;
  }
  const r = pendingReply; pendingReply = null; r?.reject(new Error('the live data worker failed'));
}

async function fetchHere() {
  // The start page may have asked for the first reply already.
  const early = window.hbrFirstLive;
  window.hbrFirstLive = undefined;
  const reply = await fetchLiveReply(localTag, early instanceof Promise && !localTag ? early : null);
  if (!reply.res) return reply.result;
  const taken = takeLiveReply(localDiff, reply.res, reply.text);
  if (!('tag' in taken)) return taken.result;
  localTag = taken.tag;
  const w = startWorker();
  if (w) {
    w.postMessage({ seed: reply.text, tag: localTag });
    seeded = true;
    localDiff.vms = new Map();
  }
  return taken.result;
}

async function fetchLive() {
  if (seeded && worker) {
    try {
      return await new Promise((resolve, reject) => { pendingReply = { resolve, reject }; worker.postMessage('fetch'); });
    } catch { /* read here from now on */ }
  }
  return fetchHere();
}

// ---- the data as the pages see it ----------------------------------------------------------

function snapshot() {
  return {
    servers,
    get vms() { return vmList || (vmList = [...vms.values()]); },
    vm: (id) => vms.get(id),
  };
}

async function tick() {
  timer = null;
  if (inFlight) return;
  inFlight = true;
  let error = null;
  let delta = null;
  const result = await fetchLive();
  fetchedAt = performance.now();
  if (result.error) error = await failure(result.error.status, result.error.text, !!result.error.loggedOut);
  else if (!result.notModified) {
    for (const vm of result.changed) vms.set(vm.id, vm);
    for (const id of result.removed) vms.delete(id);
    servers = result.servers;
    vmList = null;
    delta = { changed: result.changed, removed: result.removed };
    last = snapshot();
  }
  if (!last && !error) last = snapshot();
  inFlight = false;
  for (const [fn, primed] of [...listeners]) {
    if (!listeners.has(fn)) continue;
    // A listener counts as served once it has had data, not an error.
    if (!error) listeners.set(fn, true);
    try {
      if (error) fn(null, error, false, null);
      else fn(last, null, !primed || !!delta, primed ? delta || { changed: [], removed: [] } : null);
    } catch (e) { console.error(e); }
  }
  schedule();
}

function schedule(delay = PERIOD_MS) {
  if (timer || listeners.size === 0 || document.hidden) return;
  timer = setTimeout(tick, delay);
}

document.addEventListener('visibilitychange', () => {
  if (!document.hidden && listeners.size && !timer && !inFlight) tick();
});

// Subscribes; the listener is called at once with the last data (if any) and then after every
// fetch. Returns the function that unsubscribes.
export function subscribe(fn) {
  listeners.set(fn, false);
  if (last) {
    listeners.set(fn, true);
    fn(last, null, true, null);
  }
  if (!timer && !inFlight) {
    // Data fetched a moment ago (the start page's first fetch, another page's last) are current:
    // the next fetch keeps the rhythm instead of asking again at once.
    const age = performance.now() - fetchedAt;
    if (last && age < PERIOD_MS) schedule(PERIOD_MS - age); else tick();
  }
  return () => listeners.delete(fn);
}

// Starts the first fetch (and the worker) before any page listens, so the data are on their
// way while the page's scripts still load.
export function prefetch() {
  if (!last && !timer && !inFlight) tick();
}

// Fetch now (after an action) instead of waiting for the next period.
export function refreshSoon() {
  if (timer) { clearTimeout(timer); timer = null; }
  if (!inFlight && listeners.size) tick();
}

export function lastLive() { return last; }
