// Roles: list with user counts; editing happens on the role page.
import { h, clear } from '../dom.js';
import { get, del } from '../api.js';
import { pageHeader, confirmAction, notify, errorBox, spinner, badge } from '../ui.js';

export async function render(main, ctx) {
  const tools = [];
  if (ctx.can('cRoles_Add')) tools.push(h('a', { class: 'btn btn-primary', href: '#/role/new', id: 'role-add' }, 'Add role'));
  main.append(pageHeader('Roles', ...tools));
  const area = h('div', { class: 'card' }, spinner());
  main.append(area);

  async function load() {
    let roles;
    try { roles = await get('/api/roles'); } catch (e) { clear(area).append(errorBox(e.message)); return; }
    roles = Array.isArray(roles) ? roles : [];
    clear(area);
    if (!roles.length) { area.append(h('p', { class: 'p-3 mb-0 text-secondary' }, 'No roles besides the built-in administrator role.')); return; }
    const tbody = h('tbody');
    for (const r of roles) {
      const actions = h('td', { class: 'row-actions' });
      if (ctx.can('cRoles_Edit')) actions.append(h('a', { class: 'btn btn-sm btn-outline-secondary', href: `#/role/${Number(r.id)}`, 'aria-label': `Edit ${r.name}` }, 'Edit'), ' ');
      if (ctx.can('cRoles_Delete')) {
        actions.append(h('button', { type: 'button', class: 'btn btn-sm btn-outline-danger', 'aria-label': `Delete ${r.name}`,
          onclick: () => confirmAction({ title: 'Delete role', message: `Delete the role “${r.name}”? A role that users still hold cannot be deleted.`,
            confirmLabel: 'Delete', danger: true, action: () => del(`/api/role/${Number(r.id)}`) })
            .then((ok) => { if (ok) { notify('Role deleted.'); load(); } }) }, 'Delete'));
      }
      tbody.append(h('tr', { dataset: { roleId: String(r.id) } },
        h('td', { class: 'fw-medium' }, r.name || '', r.disabled ? [' ', badge('Disabled', 'secondary')] : null),
        h('td', { class: 'num' }, String(r.countUsers ?? 0)), h('td', { class: 'col-opt small text-secondary' }, r.comment || ''), actions));
    }
    area.append(h('div', { class: 'table-responsive' }, h('table', { class: 'table table-hover mb-0 align-middle', id: 'role-table' },
      h('thead', null, h('tr', null, h('th', { scope: 'col' }, 'Name'), h('th', { scope: 'col' }, 'Users'), h('th', { scope: 'col', class: 'col-opt' }, 'Comment'),
        h('th', { scope: 'col' }, h('span', { class: 'visually-hidden' }, 'Actions')))), tbody)));
  }
  await load();
}
