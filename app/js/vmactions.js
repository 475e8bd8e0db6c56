// The power actions of one VM, offered only when the user's claims allow them, each asking for
// confirmation when it can lose the guest's work. Used by the dashboard rows and the VM page.
import { h } from './dom.js';
import { post, isVmId } from './api.js';
import { VM_ACTIONS, vmState } from './model.js';
import { confirmAction, notify } from './ui.js';
import { refreshSoon } from './live.js';

export function allowedActions(ctx) {
  return VM_ACTIONS.filter((a) => ctx.can(a.claim));
}

export async function runAction(action, vm) {
  const name = vm.name || vm.id;
  const request = () => post('/api/vm/state', { vmId: vm.id, state: action.state });
  try {
    if (action.confirm) {
      const done = await confirmAction({
        title: `${action.label}: ${name}`,
        message: `${action.confirm} the virtual machine “${name}”?`,
        confirmLabel: action.label,
        danger: !!action.danger,
        action: request,
      });
      if (!done) return false;
    } else {
      await request();
    }
    notify(`${action.label}: ${name} — done.`);
    return true;
  } catch (e) {
    notify(`${action.label} failed for ${name}: ${e.message}`, 'danger');
    return false;
  } finally {
    refreshSoon();
  }
}

// Builds the controls for a VM; `update(vm)` re-enables the items that fit the current state.
export function actionControls(ctx, vmRef, { compact = true } = {}) {
  const actions = allowedActions(ctx);
  const canConnect = ctx.can('cVm_Connect');
  const wrap = h('div', { class: 'd-inline-flex gap-1 align-items-center vm-action-bar flex-wrap' });
  const items = new Map();
  let connect = null;
  if (canConnect && isVmId(vmRef().id)) {
    connect = h('a', { class: 'btn btn-sm btn-outline-primary', href: `/rdp/${vmRef().id}`, target: '_blank', rel: 'noopener',
      'aria-label': `Connect to ${vmRef().name || vmRef().id}` }, 'Connect');
    wrap.append(connect);
  }
  const busy = new Set();
  const click = async (a, btn) => {
    busy.add(a.id);
    btn.disabled = true;
    btn.classList.add('disabled');
    await runAction(a, vmRef());
    busy.delete(a.id);
    update(vmRef());
  };
  if (actions.length) {
    if (compact) {
      const menu = h('ul', { class: 'dropdown-menu dropdown-menu-end' });
      for (const a of actions) {
        const btn = h('button', { type: 'button', class: `dropdown-item${a.danger ? ' text-danger' : ''}`, dataset: { action: a.id } }, a.label);
        btn.addEventListener('click', () => click(a, btn));
        items.set(a.id, btn);
        menu.append(h('li', null, btn));
      }
      wrap.append(h('div', { class: 'dropdown' },
        h('button', { type: 'button', class: 'btn btn-sm btn-outline-secondary dropdown-toggle', 'data-bs-toggle': 'dropdown',
          'aria-expanded': 'false', 'aria-label': `Actions for ${vmRef().name || vmRef().id}` }, 'Actions'),
        menu));
    } else {
      for (const a of actions) {
        const btn = h('button', { type: 'button', class: `btn btn-sm btn-${a.style ? a.style : a.danger ? 'outline-danger' : 'outline-secondary'}`, dataset: { action: a.id } }, a.label);
        btn.addEventListener('click', () => click(a, btn));
        items.set(a.id, btn);
        wrap.append(btn);
      }
    }
  }
  function update(vm) {
    const kind = vmState(vm.state).kind;
    for (const a of actions) {
      const el = items.get(a.id);
      const ok = a.when.includes(kind) && !busy.has(a.id);
      el.disabled = !ok;
      el.classList.toggle('disabled', !ok);
      if (!compact) el.hidden = !a.when.includes(kind);
    }
    if (connect) {
      const ok = kind === 'running' || kind === 'paused';
      connect.classList.toggle('disabled', !ok);
      if (ok) connect.removeAttribute('aria-disabled'); else connect.setAttribute('aria-disabled', 'true');
      connect.tabIndex = ok ? 0 : -1;
    }
  }
  update(vmRef());
  return { el: wrap, update, empty: !connect && actions.length === 0 };
}
