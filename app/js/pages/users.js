// Users: list, create, edit (role, password, comment, disabled) and delete.
import { h, clear } from '../dom.js';
import { get, post, del } from '../api.js';
import { pageHeader, dialog, confirmAction, notify, field, input, errorBox, spinner, badge } from '../ui.js';

export async function render(main, ctx) {
  const may = { add: ctx.can('cUsers_Add'), edit: ctx.can('cUsers_Edit'), del: ctx.can('cUsers_Delete'),
    role: ctx.can('cUser_ChangeRole'), pwd: ctx.can('cUser_ChangePassword') };
  const tools = [];
  if (may.add) tools.push(h('button', { type: 'button', class: 'btn btn-primary', id: 'user-add', onclick: () => edit(null) }, 'Add user'));
  main.append(pageHeader('Users', ...tools));
  const area = h('div', { class: 'card' }, spinner());
  main.append(area);
  let users = [];
  let roles = null;

  async function loadRoles() {
    if (roles || !ctx.can('cRoles_View')) return;
    try { const r = await get('/api/roles'); roles = Array.isArray(r) ? r : []; } catch { roles = null; }
  }

  async function edit(u) {
    await loadRoles();
    const isNew = !u;
    const f = {
      name: input({ type: 'text', value: u?.name || '', required: true, maxlength: '100', autocomplete: 'off', id: 'user-name' }),
      pwd: input({ type: 'password', autocomplete: 'new-password', id: 'user-pwd' }),
      comment: input({ type: 'text', value: u?.comment || '', maxlength: '500', id: 'user-comment' }),
      disabled: input({ type: 'checkbox', checked: !!u?.disabled, id: 'user-disabled' }),
      role: h('select', { class: 'form-select', id: 'user-role', disabled: !isNew && !may.role }),
    };
    const options = roles ? [...roles] : [];
    if (u && !options.some((r) => r.id === u.roleId)) options.unshift({ id: u.roleId, name: u.roleName || `Role ${u.roleId}` });
    for (const r of options) f.role.append(h('option', { value: String(r.id), selected: u ? r.id === u.roleId : false }, r.name || `Role ${r.id}`));
    const body = h('div', null, field('User name', f.name), field('Role', f.role));
    if (isNew || may.pwd) body.append(field(isNew ? 'Password' : 'New password', f.pwd, isNew ? null : 'Leave empty to keep the password.'));
    body.append(field('Comment', f.comment), field('Disabled', f.disabled, 'A disabled user cannot sign in.'));
    const ok = await dialog({
      title: isNew ? 'Add user' : `Edit ${u.name}`, body,
      buttons: [{ label: 'Cancel' }, { label: isNew ? 'Add' : 'Save', style: 'primary', submit: true }],
      onSubmit: async () => {
        const name = f.name.value.trim();
        if (!name) throw new Error('Enter a user name.');
        if (!f.role.value) throw new Error('Choose a role.');
        if (isNew && !f.pwd.value) throw new Error('Enter a password.');
        const rec = { id: isNew ? 0 : u.id, name, roleId: Number(f.role.value), comment: f.comment.value.trim() || null, disabled: f.disabled.checked };
        if (f.pwd.value) rec.pwd = f.pwd.value;
        if (isNew && rec.comment === null) delete rec.comment;
        await post(`/api/user/${isNew ? 0 : Number(u.id)}`, rec);
      },
    });
    if (ok) { notify(isNew ? 'User added.' : 'User saved.'); load(); }
  }

  function remove(u) {
    confirmAction({ title: 'Delete user', message: `Delete the user “${u.name}”?`, confirmLabel: 'Delete', danger: true,
      action: () => del(`/api/user/${Number(u.id)}`) }).then((ok) => { if (ok) { notify('User deleted.'); load(); } });
  }

  async function toggle(u) {
    try {
      await post(`/api/user/${Number(u.id)}`, { id: u.id, name: u.name, roleId: u.roleId, disabled: !u.disabled });
      notify(u.disabled ? `${u.name} enabled.` : `${u.name} disabled.`);
    } catch (e) { notify(`Could not change ${u.name}: ${e.message}`, 'danger'); }
    load();
  }

  function draw() {
    clear(area);
    if (!users.length) { area.append(h('p', { class: 'p-3 mb-0 text-secondary' }, 'No users besides the built-in administrator.')); return; }
    const tbody = h('tbody');
    for (const u of users) {
      const actions = h('td', { class: 'row-actions' });
      if (may.edit) {
        actions.append(h('button', { type: 'button', class: 'btn btn-sm btn-outline-secondary', onclick: () => edit(u), 'aria-label': `Edit ${u.name}` }, 'Edit'), ' ',
          h('button', { type: 'button', class: 'btn btn-sm btn-outline-secondary', onclick: () => toggle(u) }, u.disabled ? 'Enable' : 'Disable'), ' ');
      }
      if (may.del && u.id !== ctx.user.id) {
        actions.append(h('button', { type: 'button', class: 'btn btn-sm btn-outline-danger', onclick: () => remove(u), 'aria-label': `Delete ${u.name}` }, 'Delete'));
      }
      tbody.append(h('tr', { dataset: { userId: String(u.id) } },
        h('td', { class: 'fw-medium' }, u.name || '', u.disabled ? [' ', badge('Disabled', 'secondary')] : null),
        h('td', null, u.roleName || ''), h('td', { class: 'col-opt small' }, u.lastLogon || 'never'),
        h('td', { class: 'col-opt small text-secondary' }, u.comment || ''), actions));
    }
    area.append(h('div', { class: 'table-responsive' }, h('table', { class: 'table table-hover mb-0 align-middle', id: 'user-table' },
      h('thead', null, h('tr', null, h('th', { scope: 'col' }, 'Name'), h('th', { scope: 'col' }, 'Role'), h('th', { scope: 'col', class: 'col-opt' }, 'Last sign-in'),
        h('th', { scope: 'col', class: 'col-opt' }, 'Comment'), h('th', { scope: 'col' }, h('span', { class: 'visually-hidden' }, 'Actions')))), tbody)));
  }

  async function load() {
    try {
      const list = await get('/api/users');
      users = Array.isArray(list) ? list : [];
      draw();
    } catch (e) { clear(area).append(errorBox(e.message)); }
  }
  await load();
}
