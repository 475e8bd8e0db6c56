// The server answers a failed login with a redirect back to this page and no other sign, so
// the page remembers that it has just sent the form: coming back with that mark set means the
// user name or the password was wrong. A successful login lands on the start page, which
// clears the mark.
const KEY = 'hbr.loginPending';
const form = document.getElementById('login-form');
const error = document.getElementById('login-error');
const usr = document.getElementById('usr');

const pending = sessionStorage.getItem(KEY);
if (pending !== null) {
  sessionStorage.removeItem(KEY);
  error.hidden = false;
  usr.value = pending;
  document.getElementById('pwd').focus();
}

form.addEventListener('submit', () => {
  sessionStorage.setItem(KEY, usr.value);
});
