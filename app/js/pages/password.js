// Changing the signed-in user's own password.
import { h } from '../dom.js';
import { post } from '../api.js';
import { pageHeader, field, input, notify } from '../ui.js';

export async function render(main, ctx) {
  const old = input({ type: 'password', id: 'pwd-old', autocomplete: 'current-password', required: true });
  const p1 = input({ type: 'password', id: 'pwd-new', autocomplete: 'new-password', required: true });
  const p2 = input({ type: 'password', id: 'pwd-again', autocomplete: 'new-password', required: true });
  const msg = h('div', { class: 'alert d-none', role: 'alert', id: 'pwd-message' });
  const save = h('button', { type: 'submit', class: 'btn btn-primary' }, 'Change password');
  const form = h('form', { class: 'card card-body', style: 'max-width:28rem', novalidate: true, id: 'pwd-form' },
    h('p', { class: 'text-secondary small' }, `Signed in as ${ctx.user.name || ''}.`),
    field('Current password', old), field('New password', p1), field('New password again', p2), msg, h('div', null, save));
  main.append(pageHeader('Change password'), form);
  const show = (text, ok) => { msg.textContent = text; msg.className = `alert ${ok ? 'alert-success' : 'alert-danger'}`; };
  form.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    if (!p1.value.trim()) { show('Enter a new password.', false); p1.focus(); return; }
    if (p1.value !== p2.value) { show('The two new passwords differ.', false); p2.focus(); return; }
    save.disabled = true;
    try {
      await post(`/api/changepassword/${Number(ctx.user.id) || 0}`, { pwd0: old.value, pwd1: p1.value });
      form.reset();
      show('Your password has been changed.', true);
      notify('Password changed.');
    } catch (e) {
      show(e.status === 403 ? `${e.message}: the current password is wrong, or the new one is empty.` : e.message, false);
    } finally {
      save.disabled = false;
    }
  });
}
