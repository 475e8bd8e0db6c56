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

async function call(method, path, body) {
  const init = { method, credentials: 'same-origin', headers: {} };
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
  const text = await res.text();
  if (!res.ok) throw await failure(res.status, text.trim() || `${res.status} ${res.statusText}`);
  // A fetch that was redirected to the login page means the session is gone.
  if (res.redirected && new URL(res.url).pathname === '/login.html') throw await failure(401, 'Your session has ended.', true);
  if (text.trim() === '') return {};
  try {
    return parseLoose(text);
  } catch (e) {
    throw new ApiError(res.status, `The server sent a reply that cannot be read (${e.message}).`);
  }
}

// The error of a failed call, for calls made here and those made elsewhere (the live-data
// worker): a refusal makes sure the session still exists, a lost session goes to the login.
export async function failure(status, text, loggedOut = false) {
  if (loggedOut) onLoggedOut();
  else if (status === 403 && text === 'Access Denied') await checkSession();
  return new ApiError(status, text);
}

// A refusal may mean "no right" or "no session": only the second sends the user to the login.
async function checkSession() {
  try {
    const res = await fetch('/api/user/0', { credentials: 'same-origin' });
    if (res.status === 403) onLoggedOut();
  } catch { /* the next call reports it */ }
}

export const get = (path) => call('GET', path);

export const post = (path, body = {}) => call('POST', path, body);
export const del = (path) => call('DELETE', path);

// VM ids are GUIDs; anything else is refused before it reaches a URL.
export function isVmId(id) {
  return typeof id === 'string' && /^[0-9A-Za-z-]{36}$/.test(id);
}
