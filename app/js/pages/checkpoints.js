// The checkpoint tab: the VM's checkpoints as a tree (parents above their children, with the
// VM's present state "Now" under the checkpoint it derives from) and the changes on them.
import { h, clear } from '../dom.js';
import { get, post } from '../api.js';
import { dialog, confirmAction, notify, field, input, errorBox, spinner } from '../ui.js';
import { refreshSoon } from '../live.js';

export function buildTree(list) {
  const byParent = new Map();
  const ids = new Set(list.filter((c) => c.id).map((c) => c.id));
  for (const c of list) {
    // A parent that is not listed makes the checkpoint a root rather than losing it.
    const p = c.parent && ids.has(c.parent) ? c.parent : null;
    if (!byParent.has(p)) byParent.set(p, []);
    byParent.get(p).push(c);
  }
  return byParent;
}

export function renderCheckpoints(el, ctx, vmRef) {
  const vmId = () => vmRef().id;
  const vmName = () => vmRef().name || vmRef().id;
  const may = { create: ctx.can('cVm_CpCreate'), apply: ctx.can('cVm_CpApply'), del: ctx.can('cVm_CpDelete'), rename: ctx.can('cVm_CpRename') };
  const tools = h('div', { class: 'd-flex flex-wrap gap-2 mb-3' });
  const area = h('div', { id: 'cp-area' });
  const busy = h('span', { class: 'text-secondary small align-self-center', 'aria-live': 'polite' });
  clear(el).append(tools, area);

  const run = async (label, fn) => {
    busy.textContent = `${label}…`;
    try {
      await fn();
      notify(`${label}: done.`);
    } catch (e) {
      notify(`${label} failed: ${e.message}`, 'danger');
    } finally {
      busy.textContent = '';
      refreshSoon();
      await load();
    }
  };

  if (may.create) {
    tools.append(h('button', { type: 'button', class: 'btn btn-primary btn-sm', id: 'cp-create',
      onclick: () => run('Create checkpoint', () => post('/api/vm/createcp', { vmId: vmId() })) }, 'Create checkpoint'));
  }
  if (may.apply) {
    tools.append(h('button', { type: 'button', class: 'btn btn-outline-secondary btn-sm', id: 'cp-revert',
      onclick: () => confirmAction({
        title: 'Revert', message: `Revert “${vmName()}” to its current checkpoint? Changes since then are lost.`, confirmLabel: 'Revert', danger: true,
        action: () => post('/api/vm/revert', { vmId: vmId() }),
      }).then((ok) => { if (ok) { notify('Revert: done.'); refreshSoon(); load(); } }) }, 'Revert'));
  }
  tools.append(h('button', { type: 'button', class: 'btn btn-outline-secondary btn-sm', onclick: () => load() }, 'Refresh'), busy);

  const confirmThen = (opts, done) => confirmAction(opts).then((ok) => { if (ok) { notify(`${opts.title}: done.`); refreshSoon(); load(); } return ok; });

  function nodeTools(cp) {
    const label = cp.name || cp.id;
    const out = [];
    if (may.apply) {
      out.push(h('button', { type: 'button', class: 'btn btn-sm btn-outline-primary', 'aria-label': `Apply ${label}`,
        onclick: () => confirmThen({ title: 'Apply checkpoint', message: `Apply “${label}” to “${vmName()}”? The present state is lost unless it is saved in a checkpoint.`,
          confirmLabel: 'Apply', danger: true, action: () => post('/api/vm/applycp', { vmId: vmId(), cpId: cp.id }) }) }, 'Apply'));
    }
    if (may.rename) {
      out.push(h('button', { type: 'button', class: 'btn btn-sm btn-outline-secondary', 'aria-label': `Rename ${label}`,
        onclick: () => {
          const name = input({ type: 'text', value: cp.name || '', required: true, maxlength: '100', id: 'cp-new-name' });
          dialog({
            title: 'Rename checkpoint', body: field('New name', name),
            buttons: [{ label: 'Cancel' }, { label: 'Rename', style: 'primary', submit: true }],
            onSubmit: async () => {
              const v = name.value.trim();
              if (!v) throw new Error('Enter a name.');
              await post('/api/vm/editcp', { vmId: vmId(), cpId: cp.id, name: v });
            },
          }).then((ok) => { if (ok) { notify('Rename: done.'); load(); } });
        } }, 'Rename'));
    }
    if (may.del) {
      out.push(h('button', { type: 'button', class: 'btn btn-sm btn-outline-danger', 'aria-label': `Delete ${label}`,
        onclick: () => confirmThen({ title: 'Delete checkpoint', message: `Delete the checkpoint “${label}”? Its children are kept.`, confirmLabel: 'Delete', danger: true,
          action: () => post('/api/vm/deletecp', { vmId: vmId(), cpId: cp.id }) }) }, 'Delete'));
      out.push(h('button', { type: 'button', class: 'btn btn-sm btn-outline-danger', 'aria-label': `Delete ${label} and its subtree`,
        onclick: () => confirmThen({ title: 'Delete subtree', message: `Delete “${label}” and every checkpoint below it?`, confirmLabel: 'Delete subtree', danger: true,
          action: () => post('/api/vm/deletecptree', { vmId: vmId(), cpId: cp.id }) }) }, 'Delete subtree'));
    }
    return out;
  }

  function branch(byParent, parent) {
    const ul = h('ul');
    for (const cp of byParent.get(parent) || []) {
      const isNow = !cp.id && cp.name === 'Now';
      const li = h('li', null,
        h('div', { class: `cp-node${isNow ? ' cp-now' : ''}`, dataset: { cpId: cp.id || '' } },
          h('span', { class: 'cp-name' }, isNow ? '▶ Now' : cp.name || '(unnamed)'),
          cp.creationTime ? h('span', { class: 'text-secondary small' }, cp.creationTime) : null,
          isNow ? null : h('span', { class: 'cp-tools' }, nodeTools(cp))));
      if (cp.id && byParent.has(cp.id)) li.append(branch(byParent, cp.id));
      ul.append(li);
    }
    return ul;
  }

  async function load() {
    if (!area.firstChild) area.append(spinner());
    let list;
    try {
      list = await get(`/api/vm/checkpoints/${vmId()}`);
    } catch (e) {
      clear(area).append(errorBox(e.message));
      return;
    }
    clear(area);
    if (!Array.isArray(list) || list.filter((c) => c.id).length === 0) {
      area.append(h('p', { class: 'text-secondary mb-0', id: 'cp-empty' }, 'This VM has no checkpoints.'));
      return;
    }
    const tree = branch(buildTree(list), null);
    tree.classList.add('cp-tree');
    area.append(tree);
  }
  load();
}
