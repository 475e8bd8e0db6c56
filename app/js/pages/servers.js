// Managed servers: the list with their live status, adding, editing, disabling and deleting.
import { h, clear } from '../dom.js';
import { get, post, del } from '../api.js';
import { subscribe } from '../live.js';
import { pageHeader, dialog, confirmAction, notify, field, input, errorBox, spinner, badge } from '../ui.js';

function serverForm(s) {
  const f = {
    name: input({ type: 'text', value: s.name || '', required: true, maxlength: '100' }),
    host: input({ type: 'text', value: s.host || '', placeholder: 'empty: this machine', maxlength: '255' }),
    user: input({ type: 'text', value: s.user || '', autocomplete: 'off', maxlength: '255' }),
    password: input({ type: 'password', value: '', autocomplete: 'new-password', required: !!s.passwordLost }),
    comment: input({ type: 'text', value: s.comment || '', maxlength: '500' }),
    disabled: input({ type: 'checkbox', checked: !!s.disabled }),
  };
  const body = h('div', null,
    field('Name', f.name), field('Host', f.host, 'Host name or address of the Hyper-V server; leave empty for the local one.'),
    field('User', f.user, 'Account for the remote connection (DOMAIN\\user or user).'),
    field('Password', f.password, s.passwordLost
      ? 'The stored password can no longer be read (the key file beside the database was lost): enter it again.'
      : (s.id ? 'Leave empty to keep the stored password.' : null)),
    field('Comment', f.comment), field('Disabled', f.disabled));
  return { f, body };
}

// The full record is always sent: the server re-creates its connection from what it receives.
function record(s, f) {
  const r = {
    id: s.id || 0,
    name: f ? f.name.value.trim() : s.name,
    host: (f ? f.host.value.trim() : s.host) || null,
    user: (f ? f.user.value.trim() : s.user) || null,
    comment: (f ? f.comment.value.trim() : s.comment) || null,
    disabled: f ? f.disabled.checked : !!s.disabled,
  };
  if (f && f.password.value) r.password = f.password.value;
  if (!s.id) { for (const k of ['host', 'user', 'comment']) if (r[k] === null) delete r[k]; }
  return r;
}

export async function render(main, ctx) {
  const canEdit = ctx.can('cHost_Edit');
  const tools = [];
  if (canEdit) tools.push(h('button', { type: 'button', class: 'btn btn-primary', id: 'server-add', onclick: () => edit({}) }, 'Add server'));
  main.append(pageHeader('Servers', ...tools));
  const area = h('div', { class: 'card' }, spinner());
  main.append(area);
  let servers = [];
  let live = new Map();
  const statusCells = new Map();

  async function edit(s) {
    const { f, body } = serverForm(s);
    const ok = await dialog({
      title: s.id ? `Edit ${s.name}` : 'Add server', body,
      buttons: [{ label: 'Cancel' }, { label: s.id ? 'Save' : 'Add', style: 'primary', submit: true }],
      onSubmit: async () => {
        if (!f.name.value.trim()) throw new Error('Enter a name.');
        if (s.passwordLost && !f.password.value) throw new Error('Enter the password again.');
        await post(`/api/server/${Number(s.id) || 0}`, record(s, f));
      },
    });
    if (ok) { notify(s.id ? 'Server saved.' : 'Server added.'); load(); }
  }

  async function toggle(s) {
    try {
      await post(`/api/server/${Number(s.id)}`, { ...record(s), disabled: !s.disabled });
      notify(s.disabled ? `${s.name} enabled.` : `${s.name} disabled.`);
    } catch (e) {
      notify(`Could not change ${s.name}: ${e.message}`, 'danger');
    }
    load();
  }

  function remove(s) {
    confirmAction({ title: 'Delete server', message: `Delete the server “${s.name}” from the console? The host itself is not changed.`,
      confirmLabel: 'Delete', danger: true, action: () => del(`/api/server/${Number(s.id)}`) })
      .then((ok) => { if (ok) { notify('Server deleted.'); load(); } });
  }

  function status(s) {
    const l = live.get(s.id);
    if (s.disabled) return badge('Disabled', 'secondary');
    if (s.passwordLost) return badge('Password needed', 'warning');
    if (!l) return badge('Not loaded', 'secondary');
    if (l.status === 'OK') return badge('OK', 'success');
    if (!l.status) return badge('Connecting…', 'secondary');
    return h('span', { class: 'text-warning-emphasis small' }, l.status);
  }

  function draw() {
    clear(area);
    statusCells.clear();
    if (!servers.length) { area.append(h('p', { class: 'p-3 mb-0 text-secondary' }, 'No servers.')); return; }
    const tbody = h('tbody');
    for (const s of servers) {
      const st = h('td', null, status(s));
      statusCells.set(s.id, st);
      const actions = h('td', { class: 'row-actions' },
        h('a', { class: 'btn btn-sm btn-outline-secondary', href: `#/server/${Number(s.id)}` }, 'Information'));
      if (canEdit) {
        actions.append(' ',
          h('button', { type: 'button', class: 'btn btn-sm btn-outline-secondary', onclick: () => edit(s), 'aria-label': `Edit ${s.name}` }, 'Edit'), ' ',
          h('button', { type: 'button', class: 'btn btn-sm btn-outline-secondary', onclick: () => toggle(s) }, s.disabled ? 'Enable' : 'Disable'), ' ',
          h('button', { type: 'button', class: 'btn btn-sm btn-outline-danger', onclick: () => remove(s), 'aria-label': `Delete ${s.name}` }, 'Delete'));
      }
      tbody.append(h('tr', { dataset: { serverId: String(s.id) } },
        h('td', { class: 'fw-medium' }, s.name || ''), h('td', null, s.host || 'this machine'), h('td', { class: 'col-opt' }, s.user || ''),
        st, h('td', { class: 'col-opt small text-secondary' }, s.comment || ''), actions));
    }
    area.append(h('div', { class: 'table-responsive' }, h('table', { class: 'table table-hover mb-0 align-middle' },
      h('thead', null, h('tr', null, ['Name', 'Host', 'User', 'Status', 'Comment'].map((t, i) => h('th', { scope: 'col', class: i === 2 || i === 4 ? 'col-opt' : null }, t)),
        h('th', { scope: 'col' }, h('span', { class: 'visually-hidden' }, 'Actions')))), tbody)));
  }

  async function load() {
    try {
      const list = await get('/api/servers');
      servers = Array.isArray(list) ? list : [];
      draw();
    } catch (e) {
      clear(area).append(errorBox(e.message));
    }
  }
  await load();
  return subscribe((data) => {
    if (!data) return;
    live = new Map(data.servers.map((s) => [s.id, s]));
    for (const s of servers) { const c = statusCells.get(s.id); if (c) clear(c).append(status(s)); }
  });
}
