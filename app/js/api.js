// Calls to the server's JSON API. Replies are read with the tolerant reader; failures become
// ApiError with the server's own text, so the pages can show exactly what the server said.
import { parseLoose } from './loosejson.js';

export class ApiError extends Error {
  constructor(status, text) {
    super(text || `HTTP ${status}`);
    this.status = status;
  }
}

let onLoggedOut = () => {};
export function setLoggedOutHandler(fn) { onLoggedOut = fn; }

async function call(method, path, body, { headers = {}, reply = null, strict = false } = {}) {
  const init = { method, credentials: 'same-origin', headers: { ...headers } };
  if (body !== undefined) {
    init.body = JSON.stringify(body);
    init.headers['Content-Type'] = 'application/json';
  }
  let res;
  try {
    res = await fetch(path, init);
  } catch (e) {
    throw new ApiError(0, 'The server cannot be reached.');
  }
  // Not modified since the reply whose tag the caller sent: nothing to read.
  if (res.status === 304) {
    if (reply) reply.status = 304;
    return null;
  }
  const text = await res.text();
  if (!res.ok) {
    if (res.status === 403 && text === 'Access Denied') await checkSession();
    throw new ApiError(res.status, text.trim() || `${res.status} ${res.statusText}`);
  }
  // A fetch that was redirected to the login page means the session is gone.
  if (res.redirected && new URL(res.url).pathname === '/login.html') {
    onLoggedOut();
    throw new ApiError(401, 'Your session has ended.');
  }
  if (reply) {
    reply.status = res.status;
    reply.etag = res.headers.get('ETag');
  }
  if (text.trim() === '') return {};
  // A reply known to be strict JSON goes through the browser's own parser, many times faster
  // than the tolerant reader on megabytes; the tolerant reader stays the fallback.
  if (strict) {
    try { return JSON.parse(text); } catch { /* read below */ }
  }
  try {
    return parseLoose(text);
  } catch (e) {
    throw new ApiError(res.status, `The server sent a reply that cannot be read (${e.message}).`);
  }
}

// A refusal may mean "no right" or "no session": only the second sends the user to the login.
async function checkSession() {
  try {
    const res = await fetch('/api/user/0', { credentials: 'same-origin' });
    if (res.status === 403) onLoggedOut();
  } catch { /* the next call reports it */ }
}

export const get = (path) => call('GET', path);

// A GET that names the tag of the reply the caller holds: resolves to null when the server
// answers that it has not changed, else to the new reply, with `reply.etag` its tag.
export const getIfChanged = (path, etag, reply = {}) =>
  call('GET', path, undefined, { headers: etag ? { 'If-None-Match': etag } : {}, reply, strict: true });
export const post = (path, body = {}) => call('POST', path, body);
export const del = (path) => call('DELETE', path);

// VM ids are GUIDs; anything else is refused before it reaches a URL.
export function isVmId(id) {
  return typeof id === 'string' && /^[0-9A-Za-z-]{36}$/.test(id);
}
