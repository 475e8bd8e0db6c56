// Keeps the session of an open page alive. The server ends a session after a minute without a
// request, so that closed or abandoned pages lose theirs; an open page asks lightly every 20 s,
// whether or not anybody touches it. When the session has ended anyway (a restart of the
// server, a logout in another tab), the page goes to the login page instead of showing errors.
const PERIOD_MS = 20000;

let timer = null;

export function keepSessionAlive(onEnded = () => { location.href = '/login.html'; }) {
  if (timer) return;
  timer = setInterval(async () => {
    let res;
    try {
      res = await fetch('/api/user/0', { credentials: 'same-origin', cache: 'no-store' });
    } catch {
      return; // the server is unreachable for now; the next tick asks again
    }
    if (res.status === 403 || (res.redirected && new URL(res.url).pathname === '/login.html')) {
      clearInterval(timer);
      timer = null;
      onEnded();
    }
  }, PERIOD_MS);
}
