// Reads the live data reply and tells what changed since the previous one: the VMs that are
// new or whose values differ, and the ids that are gone. At estate scale most VMs are the same
// from one reply to the next, so the pages handle only what changed. Runs in the live-data
// worker, or on the page when a worker cannot be had.
import { parseLoose } from './loosejson.js';

const VM_ID = /^[0-9A-Za-z-]{36}$/;

function sameValue(a, b) {
  if (a === b) return true;
  // Members the dashboard does not know may hold arrays or objects: compared by their text.
  return a !== null && b !== null && typeof a === 'object' && typeof b === 'object' && JSON.stringify(a) === JSON.stringify(b);
}

// Same members with the same values (the reply writes a VM's members in a fixed order, but
// nothing here relies on it).
export function sameVm(a, b) {
  let count = 0;
  for (const key in a) {
    if (!sameValue(a[key], b[key])) return false;
    count++;
  }
  for (const key in b) if (--count < 0) return false;
  return count === 0;
}

// The reply's text as data: strict JSON first (many times faster on megabytes), the tolerant
// reader after; anything that is not an object with the two lists gives empty lists.
export function readLive(text) {
  let data;
  try {
    data = JSON.parse(text);
  } catch {
    data = parseLoose(text);
  }
  return normalizeLive(data);
}

export function normalizeLive(data) {
  if (!data || typeof data !== 'object' || Array.isArray(data)) data = {};
  return {
    vms: Array.isArray(data.vms) ? data.vms : [],
    servers: Array.isArray(data.servers) ? data.servers.filter((s) => s && typeof s === 'object' && !Array.isArray(s)) : [],
  };
}

export class LiveDiff {
  constructor() {
    this.vms = new Map(); // id -> the VM as last seen
  }

  // Takes a whole reply; returns { changed: [vm], removed: [id], servers }. A VM without a
  // usable id, or a second one with an id already listed, is left out.
  take(data) {
    const seen = new Set();
    const changed = [];
    for (const vm of data.vms) {
      if (!vm || typeof vm !== 'object' || Array.isArray(vm) || typeof vm.id !== 'string' || !VM_ID.test(vm.id) || seen.has(vm.id)) continue;
      seen.add(vm.id);
      const old = this.vms.get(vm.id);
      if (old && sameVm(old, vm)) continue;
      this.vms.set(vm.id, vm);
      changed.push(vm);
    }
    const removed = [];
    if (seen.size !== this.vms.size) {
      for (const id of this.vms.keys()) if (!seen.has(id)) removed.push(id);
      for (const id of removed) this.vms.delete(id);
    }
    return { changed, removed, servers: data.servers };
  }
}

// Asks for the live data, naming the reply held by its entity tag (`early`: a request already
// under way). { res, text } for a reply to read, or { result } to hand on as it is: not
// modified, or the server out of reach.
export async function fetchLiveReply(tag, early = null) {
  let res;
  try {
    res = early ? await early : await fetch('/api/livedata', { credentials: 'same-origin', headers: tag ? { 'If-None-Match': tag } : {} });
  } catch {
    return { result: { error: { status: 0, text: 'The server cannot be reached.' } } };
  }
  if (res.status === 304) return { result: { notModified: true } };
  return { res, text: await res.text() };
}

// A reply compared with what `diff` holds: { result, tag } with the changes and the reply's
// entity tag, or { result } with an error and nothing taken.
export function takeLiveReply(diff, res, text) {
  if (!res.ok) return { result: { error: { status: res.status, text: text.trim() || `${res.status} ${res.statusText}` } } };
  // Redirected to the login page: the session is gone.
  if (res.redirected && new URL(res.url).pathname === '/login.html') return { result: { error: { status: 401, text: 'Your session has ended.', loggedOut: true } } };
  let result;
  try {
    result = diff.take(readLive(text.trim() === '' ? '{}' : text));
  } catch (e) {
    return { result: { error: { status: res.status, text: `The server sent a reply that cannot be read (${e.message}).` } } };
  }
  return { result, tag: res.headers.get('ETag') };
}
