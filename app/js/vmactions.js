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

// Actions under way, by VM and action, so a control shows them whichever row shows the VM.
const busy = new Set();
const busyKey = (vm, a) => `${vm.id}|${a.id}`;

// Builds the controls for a VM; `update(vm)` re-enables the items that fit the current state.
// The controls follow `vmRef()`: a row of a long list that is reused for another VM calls
// `update` with that VM and its names and link change with it.
export function actionControls(ctx, vmRef, { compact = true } = {}) {
  const actions = allowedActions(ctx);
  const canConnect = ctx.can('cVm_Connect');
  const wrap = h('div', { class: 'd-inline-flex gap-1 align-items-center vm-action-bar flex-wrap' });
  const items = new Map();
  let connect = null;
  let toggle = null;
  let boundId = null;
  if (canConnect) {
    connect = h('a', { class: 'btn btn-sm btn-outline-primary', target: '_blank', rel: 'noopener' }, 'Connect');
    wrap.append(connect);
  }
  const click = async (a) => {
    const vm = vmRef();
    busy.add(busyKey(vm, a));
    update(vmRef());
    await runAction(a, vm);
    busy.delete(busyKey(vm, a));
    update(vmRef());
  };
  if (actions.length) {
    if (compact) {
      const menu = h('ul', { class: 'dropdown-menu dropdown-menu-end' });
      for (const a of actions) {
        const btn = h('button', { type: 'button', class: `dropdown-item${a.danger ? ' text-danger' : ''}`, dataset: { action: a.id } }, a.label);
        btn.addEventListener('click', () => click(a));
        items.set(a.id, btn);
        menu.append(h('li', null, btn));
      }
      // Fixed, so a menu opened in a scrolling list is not cut off at the list's edge.
      toggle = h('button', { type: 'button', class: 'btn btn-sm btn-outline-secondary dropdown-toggle', 'data-bs-toggle': 'dropdown',
        'data-bs-popper-config': '{"strategy":"fixed"}', 'aria-expanded': 'false' }, 'Actions');
      wrap.append(h('div', { class: 'dropdown' }, toggle, menu));
    } else {
      for (const a of actions) {
        const btn = h('button', { type: 'button', class: `btn btn-sm btn-${a.style ? a.style : a.danger ? 'outline-danger' : 'outline-secondary'}`, dataset: { action: a.id } }, a.label);
        btn.addEventListener('click', () => click(a));
        items.set(a.id, btn);
        wrap.append(btn);
      }
    }
  }
  function update(vm) {
    if (vm.id !== boundId) {
      // Another VM in the same controls: an open menu belonged to the previous one.
      if (boundId !== null && toggle) window.bootstrap?.Dropdown.getInstance(toggle)?.hide();
      boundId = vm.id;
      const name = vm.name || vm.id;
      if (toggle) toggle.setAttribute('aria-label', `Actions for ${name}`);
      if (connect) {
        connect.setAttribute('aria-label', `Connect to ${name}`);
        if (isVmId(vm.id)) connect.setAttribute('href', `/rdp/${vm.id}`); else connect.removeAttribute('href');
      }
    }
    const kind = vmState(vm.state).kind;
    for (const a of actions) {
      const el = items.get(a.id);
      const ok = a.when.includes(kind) && !busy.has(busyKey(vm, a));
      if (el.disabled !== !ok) el.disabled = !ok;
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
  // A row made before it is given its VM is filled by its first update.
  if (vmRef()) update(vmRef());
  return { el: wrap, update, empty: !connect && actions.length === 0 };
}
