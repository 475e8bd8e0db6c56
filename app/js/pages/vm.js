// One VM: its power actions and the tabs general, networking, replication and checkpoints.
import { h, clear, setText, append } from '../dom.js';
import { get } from '../api.js';
import { subscribe } from '../live.js';
import { vmState, fmtPercent, fmtMb, fmtUptime } from '../model.js';
import { pageHeader, errorBox, loadInto } from '../ui.js';
import { actionControls } from '../vmactions.js';
import { renderCheckpoints } from './checkpoints.js';

const HEARTBEAT = { 2: 'OK', 6: 'Error', 12: 'No contact', 13: 'Lost communication', 15: 'Paused' };
const INTEGRATION = { 0: 'Unknown', 1: 'Up to date', 2: 'Mismatch' };
const REPL_MODE = { 0: 'None', 1: 'Primary', 2: 'Replica', 3: 'Test replica', 4: 'Extended replica' };
const REPL_STATE = { 0: 'Disabled', 1: 'Ready for replication', 2: 'Waiting to complete initial replication', 3: 'Replicating',
  4: 'Synced replication complete', 5: 'Recovered', 6: 'Committed', 7: 'Suspended', 8: 'Critical', 9: 'Waiting to start resynchronization',
  10: 'Resynchronizing', 11: 'Resynchronization suspended', 12: 'Failover in progress', 13: 'Failback in progress', 14: 'Failback complete' };
const REPL_HEALTH = { 0: 'Not applicable', 1: 'Normal', 2: 'Warning', 3: 'Critical' };

function props(pairs) {
  return h('dl', { class: 'props' }, pairs.map(([k, v]) => [h('dt', null, k), h('dd', null, v === null || v === undefined || v === '' ? '—' : String(v))]));
}

const named = (table, v) => (v === null || v === undefined ? '—' : table[v] ? `${table[v]} (${v})` : String(v));
const list = (v) => (typeof v === 'string' && v ? v.split(';').filter(Boolean).join(', ') : '—');

// Only a base64 BMP data address is shown; anything else the server might send is ignored.
function thumbnail(src) {
  if (typeof src === 'string' && /^data:image\/bmp;base64,[A-Za-z0-9+/=]+$/.test(src)) {
    return h('img', { class: 'vm-thumb', src, alt: 'Screen of the virtual machine', width: '160', height: '120' });
  }
  return h('div', { class: 'vm-thumb vm-thumb-empty' }, 'No screen image');
}

function general(el, id) {
  return loadInto(el, () => get(`/api/vm/general/${id}`), (g) => {
    el.append(h('div', { class: 'd-flex flex-wrap gap-4' },
      thumbnail(g.thumbnailImage),
      h('div', { class: 'flex-grow-1', style: 'min-width:16rem' }, props([
        ['Name', g.name], ['Guest operating system', g.guestOS], ['Heartbeat', named(HEARTBEAT, g.heartbeat)],
        ['Integration services', named(INTEGRATION, g.integrationSvc)], ['Version', g.version], ['Created', g.created], ['Id', g.id],
      ]))),
    h('h3', { class: 'h6 mt-4' }, 'Notes'),
    h('p', { class: 'notes', style: 'white-space:pre-wrap' }, g.notes || '—'));
  });
}

function networking(el, id) {
  return loadInto(el, () => get(`/api/vm/networking/${id}`), (nics) => {
    if (!Array.isArray(nics) || nics.length === 0) { el.append(h('p', { class: 'text-secondary' }, 'This VM has no network adapters.')); return; }
    el.append(h('div', { class: 'row g-3' }, nics.map((n) => h('div', { class: 'col-12 col-lg-6' },
      h('div', { class: 'card h-100' }, h('div', { class: 'card-body' },
        h('h3', { class: 'h6' }, n.name || 'Network adapter'),
        props([
          ['IP addresses', list(n.iPAddresses)], ['MAC address', n.address], ['Static MAC', n.staticMacAddress === null ? null : n.staticMacAddress ? 'Yes' : 'No'],
          ['Switch / connection', list(n.connection)], ['DHCP', n.dHCPEnabled === undefined || n.dHCPEnabled === null ? null : n.dHCPEnabled ? 'Enabled' : 'Disabled'],
          ['Subnets', list(n.subnets)], ['Default gateways', list(n.defaultGateways)], ['DNS servers', list(n.dNSServers)],
        ])))))));
  });
}

function replication(el, id) {
  return loadInto(el, () => get(`/api/vm/replication/${id}`), (r) => {
    el.append(props([
      ['Mode', named(REPL_MODE, r.mode)], ['State', named(REPL_STATE, r.state)], ['Health', named(REPL_HEALTH, r.health)],
      ['Primary server', r.primaryServer], ['Replica server', r.replicaServer],
    ]));
  });
}

export async function render(main, ctx, [id, tabParam]) {
  let vm = { id, name: '', state: null };
  const title = h('span', null, 'Virtual machine');
  const state = h('span', { class: 'state fs-6 fw-normal' });
  const figures = h('div', { class: 'text-secondary small d-flex flex-wrap gap-3' });
  const controls = actionControls(ctx, () => vm, { compact: false });
  const header = pageHeader(h('span', { class: 'd-inline-flex align-items-center gap-3 flex-wrap' }, title, state), controls.el);
  main.append(h('nav', { 'aria-label': 'breadcrumb' }, h('ol', { class: 'breadcrumb small mb-1' },
    h('li', { class: 'breadcrumb-item' }, h('a', { href: '#/' }, 'Dashboard')),
    h('li', { class: 'breadcrumb-item active', 'aria-current': 'page' }, 'Virtual machine'))), header, figures);
  const notFound = h('div');
  main.append(notFound);

  const tabs = [
    { key: 'general', label: 'General', claim: 'cVms_View', show: general },
    { key: 'networking', label: 'Networking', claim: 'cVms_TabNetwork', show: networking },
    { key: 'replication', label: 'Replication', claim: 'cVms_TabReplication', show: replication },
    { key: 'checkpoints', label: 'Checkpoints', claim: 'cVm_TabCp', show: (el) => renderCheckpoints(el, ctx, () => vm) },
  ].filter((t) => ctx.can(t.claim));
  const current = tabs.find((t) => t.key === tabParam) || tabs[0];
  const nav = h('ul', { class: 'nav nav-tabs mt-3', role: 'tablist' });
  const panel = h('div', { class: 'card card-body border-top-0 rounded-top-0', role: 'tabpanel', id: 'vm-tab-panel' });
  for (const t of tabs) {
    const a = h('a', { class: `nav-link${t === current ? ' active' : ''}`, href: `#/vm/${id}/${t.key}`, role: 'tab',
      'aria-selected': t === current ? 'true' : 'false', 'aria-controls': 'vm-tab-panel', id: `tab-${t.key}` }, t.label);
    nav.append(h('li', { class: 'nav-item', role: 'presentation' }, a));
  }
  if (tabs.length) {
    main.append(nav, panel);
    panel.setAttribute('aria-labelledby', `tab-${current.key}`);
    current.show(panel, id);
  } else {
    main.append(errorBox('You may not view the details of this VM.'));
  }

  let seen = false;
  const unsubscribe = subscribe((data, error) => {
    if (error) return;
    const found = data.vm(id);
    if (!found) {
      if (!seen) { clear(notFound).append(h('div', { class: 'alert alert-warning mt-2' }, 'This VM is not in the live list (yet); actions are not available.')); }
      return;
    }
    seen = true;
    clear(notFound);
    vm = found;
    const st = vmState(vm.state);
    setText(title, vm.name || vm.id);
    document.title = `${vm.name || vm.id} – VmHarbor`;
    setText(state, st.label);
    state.className = `state fs-6 fw-normal state-${st.kind}`;
    append(clear(figures), [
      h('span', null, `CPU ${fmtPercent(vm.cpuUsage)}`),
      h('span', null, `Memory ${typeof vm.memoryA === 'number' ? fmtMb(vm.memoryA) : '—'}`),
      h('span', null, `Uptime ${fmtUptime(vm.uptime)}`),
      vm.status ? h('span', { class: 'text-warning-emphasis' }, vm.status) : null,
      vm.host ? h('span', null, `Host ${vm.host}`) : null]);
    controls.update(vm);
  });
  return () => { unsubscribe(); document.title = 'VmHarbor'; };
}
