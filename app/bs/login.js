// The form is sent by the page itself, so that a login goes straight to the start page instead
// of through the root page's redirect, and a link's #route survives the login. The server
// answers a failed login with a redirect back to this page and no other sign: landing there
// means the user name or the password was wrong. Where the request cannot be made the form is
// sent as a plain post; the page then remembers that it sent it, and coming back with that mark
// set means the login failed (a successful login lands on the start page, which clears it).
const KEY = 'hbr.loginPending';
const form = document.getElementById('login-form');
const error = document.getElementById('login-error');
const usr = document.getElementById('usr');
const pwd = document.getElementById('pwd');

const wrongText = error.textContent;

function showFailure(name) {
  error.textContent = wrongText;
  error.hidden = false;
  usr.value = name;
  pwd.value = '';
  pwd.focus();
}

const pending = sessionStorage.getItem(KEY);
if (pending !== null) {
  sessionStorage.removeItem(KEY);
  showFailure(pending);
}

let sending = false;
form.addEventListener('submit', async (event) => {
  event.preventDefault();
  if (sending) return;
  sending = true;
  const name = usr.value;
  let res;
  try {
    res = await fetch('/login', {
      method: 'POST',
      body: new URLSearchParams(new FormData(form)),
      credentials: 'same-origin',
    });
  } catch {
    sessionStorage.setItem(KEY, name);
    form.submit();
    return;
  }
  sending = false;
  if (!res.ok) {
    // Not the answer to a login (a refusal, a proxy's error page): say what came back.
    const text = (await res.text().catch(() => '')).trim().slice(0, 200);
    error.textContent = `The sign-in failed: ${text || `${res.status} ${res.statusText}`}`;
    error.hidden = false;
    return;
  }
  if (new URL(res.url).pathname === '/login.html') {
    showFailure(name);
    return;
  }
  location.replace('/start.html' + location.hash);
});
