// Managed servers: the list with their live status, adding, editing, disabling and deleting.
import { h, clear } from '../dom.js';
import { get, post, del } from '../api.js';
import { subscribe } from '../live.js';
import { pageHeader, dialog, confirmAction, notify, field, input, errorBox, spinner, badge } from '../ui.js';

// The host text the dialog stands for. Options typed into the host field itself win over the
// fields; other options of the stored text are kept.
function composeHost(f) {
  const typed = splitHost(f.host.value.trim());
  return joinHost({
    base: typed.base,
    auth: typed.explicit.auth ? typed.auth : f.auth.value,
    tls: typed.explicit.tls ? typed.tls : f.tls.value,
    pin: typed.explicit.tls ? typed.pin : f.pin.value,
    params: [...f.parts.params, ...typed.params],
  });
}

// A remote host's text carries its connection options as query parameters: "auth" and "tls"
// are edited as fields of their own, anything else (and the whole text of this machine or a
// simulated host) stays as written.
function isRemote(text) { return !!text && !/^sim:\/\//i.test(text); }

export function splitHost(text) {
  const t = (text || '').trim();
  const parts = { base: t, auth: 'ntlm', tls: 'verify', pin: '', params: [], explicit: { auth: false, tls: false } };
  const q = t.indexOf('?');
  if (!isRemote(t) || q < 0) return parts;
  parts.base = t.slice(0, q);
  for (const p of t.slice(q + 1).split('&')) {
    if (!p) continue;
    const eq = p.indexOf('=');
    const key = (eq < 0 ? p : p.slice(0, eq)).toLowerCase();
    const value = eq < 0 ? '' : p.slice(eq + 1);
    if (key === 'auth' && !parts.explicit.auth && ['ntlm', 'basic', 'negotiate'].includes(value.toLowerCase())) {
      parts.auth = value.toLowerCase();
      parts.explicit.auth = true;
    } else if (key === 'tls' && !parts.explicit.tls && /^sha256:/i.test(value)) {
      parts.tls = 'pin';
      parts.pin = value.slice(7);
      parts.explicit.tls = true;
    } else if (key === 'tls' && !parts.explicit.tls && ['verify', 'insecure'].includes(value.toLowerCase())) {
      parts.tls = value.toLowerCase();
      parts.explicit.tls = true;
    } else {
      parts.params.push(p); // kept as written: the server accepts it or says why not
    }
  }
  return parts;
}

// "AB:cd:…" or "abcd…" to 64 lower-case hex digits; empty when it is no SHA-256 fingerprint.
export function normalizePin(text) {
  const hex = (text || '').trim().replace(/:/g, '').toLowerCase();
  return /^[0-9a-f]{64}$/.test(hex) ? hex : '';
}

// Defaults are left out, so a plain name stays a plain name.
export function joinHost({ base, auth, tls, pin, params }) {
  if (!isRemote(base)) return base;
  const q = [...params];
  if (auth && auth !== 'ntlm') q.push(`auth=${auth}`);
  if (tls === 'insecure') q.push('tls=insecure');
  if (tls === 'pin') q.push(`tls=sha256:${normalizePin(pin) || pin}`);
  return q.length ? `${base}?${q.join('&')}` : base;
}

function select(attrs, options, value) {
  return h('select', { class: 'form-select', ...attrs },
    options.map(([v, label]) => h('option', { value: v, selected: v === value }, label)));
}

function serverForm(s) {
  const parts = splitHost(s.host);
  const f = {
    name: input({ type: 'text', value: s.name || '', required: true, maxlength: '100' }),
    host: input({ type: 'text', value: parts.base, placeholder: 'empty: this machine', maxlength: '255' }),
    auth: select({ id: 'server-auth' }, [['ntlm', 'NTLM'], ['negotiate', 'Negotiate (Kerberos, else NTLM)'], ['basic', 'Basic']], parts.auth),
    tls: select({ id: 'server-tls' }, [['verify', 'Verify against the trusted authorities'], ['pin', 'Pin the certificate\'s SHA-256 fingerprint'], ['insecure', 'Do not check (insecure)']], parts.tls),
    pin: input({ type: 'text', id: 'server-pin', value: parts.pin, maxlength: '100', spellcheck: 'false', placeholder: '64 hexadecimal digits' }),
    user: input({ type: 'text', value: s.user || '', autocomplete: 'off', maxlength: '255' }),
    password: input({ type: 'password', value: '', autocomplete: 'new-password', required: !!s.passwordLost }),
    comment: input({ type: 'text', value: s.comment || '', maxlength: '500' }),
    disabled: input({ type: 'checkbox', checked: !!s.disabled }),
  };
  f.parts = parts;
  const pinField = field('Certificate fingerprint (SHA-256)', f.pin);
  const remote = h('div', { class: 'border-start ps-3 mb-3', id: 'server-remote-options' },
    field('Authentication', f.auth, 'How the account signs in to the host\'s WinRM service.'),
    field('Certificate', f.tls, 'How the host\'s HTTPS certificate is checked.'), pinField);
  const show = () => {
    remote.classList.toggle('d-none', !isRemote(f.host.value.trim()));
    pinField.classList.toggle('d-none', f.tls.value !== 'pin');
  };
  f.host.addEventListener('input', show);
  f.tls.addEventListener('change', show);
  show();
  const body = h('div', null,
    field('Name', f.name), field('Host', f.host, 'Name or https:// URL of the Hyper-V server (WinRM over HTTPS, port 5986); leave empty for the local one.'),
    remote,
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
    host: (f ? composeHost(f) : s.host) || null,
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
        const typed = splitHost(f.host.value.trim());
        if (isRemote(typed.base) && !typed.explicit.tls && f.tls.value === 'pin' && !normalizePin(f.pin.value)) {
          throw new Error('Enter the certificate\'s SHA-256 fingerprint: 64 hexadecimal digits.');
        }
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

  // Trust the host only with the certificate it presented (an audited server edit).
  function pin(s, presented) {
    const host = joinHost({ ...splitHost(s.host), tls: 'pin', pin: presented });
    confirmAction({ title: 'Pin the certificate',
      message: `Trust ${s.name} only while it presents the certificate with the SHA-256 fingerprint ${presented}? Compare it with the host's own certificate first.`,
      confirmLabel: 'Pin', action: () => post(`/api/server/${Number(s.id)}`, { ...record(s), host }) })
      .then((ok) => { if (ok) { notify(`${s.name} now accepts only that certificate.`); load(); } });
  }

  function status(s) {
    const l = live.get(s.id);
    if (s.disabled) return badge('Disabled', 'secondary');
    if (s.passwordLost) return badge('Password needed', 'warning');
    if (!l) return badge('Not loaded', 'secondary');
    if (l.status === 'OK') return badge('OK', 'success');
    if (!l.status) return badge('Connecting…', 'secondary');
    const text = h('span', { class: 'text-warning-emphasis small server-status' }, l.status);
    const presented = typeof l.presented === 'string' ? normalizePin(l.presented) : '';
    if (!presented) return text;
    return h('div', null, text,
      h('div', { class: 'small mt-1' }, 'The host presented the certificate with SHA-256 ',
        h('code', { class: 'server-presented text-break' }, presented)),
      canEdit && h('button', { type: 'button', class: 'btn btn-sm btn-outline-primary mt-1 server-pin-button', onclick: () => pin(s, presented) }, 'Pin this certificate'));
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
