// The role editor: name, comment, every claim grouped by what it guards, and the VMs the role
// is limited to (none chosen means every VM).
import { h, clear } from '../dom.js';
import { get, post, isVmId } from '../api.js';
import { CLAIMS, CLAIM_GROUPS } from '../model.js';
import { pageHeader, notify, field, input, errorBox } from '../ui.js';

export async function render(main, ctx, [idText]) {
  const isNew = idText === 'new';
  const id = isNew ? 0 : Number(idText);
  let role = { id: 0, name: '', claims: {}, vms: null, disabled: false, comment: '' };
  if (!isNew) {
    try {
      role = await get(`/api/role/${id}`);
    } catch (e) {
      main.append(errorBox(e.message));
      return;
    }
    if (role.id === undefined) { main.append(errorBox('This role does not exist.')); return; }
  }
  const readOnly = isNew ? !ctx.can('cRoles_Add') : !ctx.can('cRoles_Edit');
  main.append(h('nav', { 'aria-label': 'breadcrumb' }, h('ol', { class: 'breadcrumb small mb-1' },
    h('li', { class: 'breadcrumb-item' }, h('a', { href: '#/roles' }, 'Roles')),
    h('li', { class: 'breadcrumb-item active', 'aria-current': 'page' }, isNew ? 'New role' : 'Edit role'))),
  pageHeader(isNew ? 'New role' : `Role ${role.name || ''}`));

  const f = {
    name: input({ type: 'text', value: role.name || '', required: true, maxlength: '100', id: 'role-name' }),
    comment: input({ type: 'text', value: role.comment || '', maxlength: '500', id: 'role-comment' }),
    disabled: input({ type: 'checkbox', checked: !!role.disabled, id: 'role-disabled' }),
  };
  const claims = role.claims && typeof role.claims === 'object' ? role.claims : {};
  const boxes = new Map();
  const groups = h('div', { class: 'claim-columns' });
  for (const [title, nos] of CLAIM_GROUPS) {
    const all = input({ type: 'checkbox', id: `grp-${title.replace(/\W+/g, '-')}` });
    const set = h('fieldset', { class: 'claim-group mb-3' },
      h('legend', { class: 'fs-6 fw-semibold mb-1 d-flex align-items-center gap-2' }, title,
        h('span', { class: 'form-check form-check-inline small fw-normal mb-0' }, all, h('label', { class: 'form-check-label', for: all.id }, 'all'))));
    const mine = [];
    for (const no of nos) {
      const c = CLAIMS[no];
      const box = input({ type: 'checkbox', id: `claim-${c.name}`, checked: claims[c.name] === true, dataset: { claim: c.name } });
      boxes.set(c.name, box);
      mine.push(box);
      set.append(h('div', { class: 'form-check' }, box, h('label', { class: 'form-check-label', for: box.id }, c.text,
        h('span', { class: 'text-secondary small ms-1' }, c.name))));
    }
    const sync = () => { const n = mine.filter((b) => b.checked).length; all.checked = n === mine.length; all.indeterminate = n > 0 && n < mine.length; };
    all.addEventListener('change', () => { for (const b of mine) b.checked = all.checked; });
    for (const b of mine) b.addEventListener('change', sync);
    sync();
    groups.append(set);
  }

  // VM picker: the VMs the editor can see now, plus those already in the role's list.
  const chosen = new Map((Array.isArray(role.vms) ? role.vms : []).filter((v) => v && typeof v.id === 'string').map((v) => [v.id, v.name || v.id]));
  const limitAll = input({ type: 'radio', name: 'vm-limit', id: 'vm-limit-all', checked: chosen.size === 0 });
  const limitSome = input({ type: 'radio', name: 'vm-limit', id: 'vm-limit-some', checked: chosen.size > 0 });
  const vmFilter = input({ type: 'search', placeholder: 'Filter VMs', 'aria-label': 'Filter VMs', class: 'form-control form-control-sm mb-2' });
  const vmList = h('div', { class: 'vm-picker border rounded p-2', id: 'vm-picker' });
  const vmBoxes = new Map();
  let known = [];
  try {
    const live = await get('/api/livedata');
    known = (Array.isArray(live.vms) ? live.vms : []).filter((v) => v && isVmId(v.id)).map((v) => ({ id: v.id, name: v.name || v.id, host: v.host || '' }));
  } catch { /* the stored list still shows */ }
  for (const [vid, name] of chosen) if (!known.some((k) => k.id === vid)) known.push({ id: vid, name, host: '(not visible now)' });
  known.sort((a, b) => a.name.localeCompare(b.name));
  for (const v of known) {
    const box = input({ type: 'checkbox', id: `vm-${v.id}`, checked: chosen.has(v.id), dataset: { vmId: v.id } });
    vmBoxes.set(v.id, { box, v });
    vmList.append(h('div', { class: 'form-check', dataset: { name: v.name.toLowerCase() } }, box,
      h('label', { class: 'form-check-label', for: box.id }, v.name, v.host ? h('span', { class: 'text-secondary small ms-1' }, v.host) : null)));
  }
  if (!known.length) vmList.append(h('p', { class: 'text-secondary small mb-0' }, 'No VMs are visible to you.'));
  const syncLimit = () => { vmList.hidden = limitAll.checked; vmFilter.hidden = limitAll.checked; };
  limitAll.addEventListener('change', syncLimit);
  limitSome.addEventListener('change', syncLimit);
  vmFilter.addEventListener('input', () => {
    const q = vmFilter.value.trim().toLowerCase();
    for (const el of vmList.children) if (el.dataset.name !== undefined) el.hidden = q !== '' && !el.dataset.name.includes(q);
  });
  syncLimit();

  const error = h('div', { class: 'alert alert-danger', role: 'alert', hidden: true, id: 'role-error' });
  const save = h('button', { type: 'submit', class: 'btn btn-primary', disabled: readOnly }, isNew ? 'Create role' : 'Save role');
  const form = h('form', { novalidate: true, id: 'role-form' },
    h('div', { class: 'row g-3' },
      h('div', { class: 'col-12 col-xl-4' }, h('section', { class: 'card h-100' }, h('div', { class: 'card-body' },
        h('h2', { class: 'h6' }, 'Role'), field('Name', f.name), field('Comment', f.comment), field('Disabled', f.disabled, 'A disabled role gives no rights to Windows group sign-ins.'),
        h('h2', { class: 'h6 mt-4' }, 'Virtual machines'),
        h('div', { class: 'form-check' }, limitAll, h('label', { class: 'form-check-label', for: limitAll.id }, 'All VMs')),
        h('div', { class: 'form-check mb-2' }, limitSome, h('label', { class: 'form-check-label', for: limitSome.id }, 'Only the VMs chosen below')),
        vmFilter, vmList))),
      h('div', { class: 'col-12 col-xl-8' }, h('section', { class: 'card h-100' }, h('div', { class: 'card-body' },
        h('h2', { class: 'h6 mb-3' }, 'Claims'), groups)))),
    h('div', { class: 'mt-3' }, error),
    h('div', { class: 'd-flex gap-2 mt-2' }, save, h('a', { class: 'btn btn-outline-secondary', href: '#/roles' }, 'Cancel')));
  main.append(form);

  form.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    error.hidden = true;
    const name = f.name.value.trim();
    const fail = (msg) => { error.textContent = msg; error.hidden = false; error.scrollIntoView({ block: 'nearest' }); };
    if (!name) { fail('Enter a name.'); f.name.focus(); return; }
    const vms = limitAll.checked ? [] : [...vmBoxes.values()].filter((x) => x.box.checked).map((x) => ({ id: x.v.id, name: x.v.name }));
    if (limitSome.checked && vms.length === 0) { fail('Choose at least one VM, or allow all VMs.'); return; }
    const rec = { id, name, claims: Object.fromEntries(CLAIMS.map((c) => [c.name, boxes.get(c.name).checked])), vms, disabled: f.disabled.checked,
      comment: f.comment.value.trim() || null };
    if (isNew && rec.comment === null) delete rec.comment;
    save.disabled = true;
    try {
      await post(`/api/role/${id}`, rec);
      notify(isNew ? 'Role created.' : 'Role saved.');
      location.hash = '#/roles';
    } catch (e) {
      fail(e.status === 403 ? explainRefusal(e.message) : e.message);
    } finally {
      save.disabled = readOnly;
    }
  });
}

// The server names why it refused a role in a few words; they are shown with their meaning.
export function explainRefusal(reason) {
  if (reason === 'Access Denied' || !reason) return 'Refused: you may not save this role (a role you hold yourself, or no right to edit roles).';
  const claim = /^cl name: (.*)$/.exec(reason);
  if (claim) {
    const c = CLAIMS.find((x) => x.name === claim[1]);
    return `Refused: you cannot grant “${c ? c.text : claim[1]}” because you do not hold it yourself (${reason}).`;
  }
  if (reason === 'assigned vms empty') return 'Refused: you are limited to some VMs, so the role must be limited to VMs you have (assigned vms empty).';
  return `Refused: you cannot grant the VM “${reason}”, which is not among your own VMs.`;
}
