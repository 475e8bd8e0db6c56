// The dashboard: the managed servers with their live figures and every VM the user may see.
// Rows are created once per VM and then only their texts change, so the refresh every few
// seconds neither flickers nor steals focus or an open menu.
import { h, clear, setText } from '../dom.js';
import { get, isVmId } from '../api.js';
import { subscribe } from '../live.js';
import { vmState, fmtPercent, fmtMb, fmtBytes, fmtUptime, uptimeSeconds } from '../model.js';
import { pageHeader, errorBox } from '../ui.js';
import { actionControls } from '../vmactions.js';

const COLUMNS = [
  { key: 'name', label: 'Name', value: (vm) => (vm.name || '').toLowerCase() },
  { key: 'state', label: 'State', value: (vm) => vmState(vm.state).label },
  { key: 'cpu', label: 'CPU', value: (vm) => (typeof vm.cpuUsage === 'number' ? vm.cpuUsage : -1), num: true, opt: true },
  { key: 'memory', label: 'Memory', value: (vm) => (typeof vm.memoryA === 'number' ? vm.memoryA : -1), num: true, opt: true },
  { key: 'uptime', label: 'Uptime', value: (vm) => uptimeSeconds(vm.uptime), num: true, opt: true },
  { key: 'status', label: 'Status', value: (vm) => vm.status || '', opt: true },
  { key: 'host', label: 'Host', value: (vm) => vm.host || '', opt: true },
];

export async function render(main, ctx) {
  let serverNames = new Map();
  if (ctx.can('cHost_View')) {
    try {
      const list = await get('/api/servers');
      if (Array.isArray(list)) serverNames = new Map(list.map((s) => [s.id, s.name]));
    } catch { /* names are a nicety; the figures still show */ }
  }

  const search = h('input', { type: 'search', class: 'form-control', placeholder: 'Search VMs', 'aria-label': 'Search VMs', id: 'vm-search' });
  const updated = h('span', { class: 'text-secondary small', 'aria-live': 'off' });
  main.append(pageHeader('Dashboard', updated));
  const alertArea = h('div');
  const serversArea = h('div', { class: 'row g-3 mb-4', id: 'server-cards' });
  main.append(alertArea, serversArea);

  const sort = { key: 'name', dir: 1 };
  const tbody = h('tbody');
  const headRow = h('tr');
  const table = h('table', { class: 'table table-hover table-vms mb-0', id: 'vm-table' },
    h('caption', { class: 'visually-hidden' }, 'Virtual machines'), h('thead', null, headRow), tbody);
  const countText = h('span', { class: 'text-secondary small' });
  const empty = h('div', { class: 'text-secondary p-3', hidden: true });
  const vmCard = h('section', { class: 'card', 'aria-labelledby': 'vms-title' },
    h('div', { class: 'card-header bg-white d-flex flex-wrap gap-2 align-items-center' },
      h('h2', { class: 'h5 mb-0 me-auto', id: 'vms-title' }, 'Virtual machines ', countText),
      h('div', { class: 'vm-search-box' }, search)),
    table, empty);
  main.append(vmCard);

  const sortButtons = new Map();
  for (const c of COLUMNS) {
    const ind = h('span', { class: 'sort-ind', 'aria-hidden': 'true' });
    const btn = h('button', { type: 'button' }, c.label, ind);
    const th = h('th', { class: `sortable${c.opt ? ' col-opt' : ''}${c.num ? ' text-end' : ''}`, scope: 'col' }, btn);
    btn.addEventListener('click', () => {
      if (sort.key === c.key) sort.dir = -sort.dir; else { sort.key = c.key; sort.dir = 1; }
      arrange();
    });
    sortButtons.set(c.key, { th, ind });
    headRow.append(th);
  }
  headRow.append(h('th', { scope: 'col', class: 'text-end' }, h('span', { class: 'visually-hidden' }, 'Actions')));

  const rows = new Map(); // id -> { tr, cells, vm, controls }
  const cards = new Map(); // server id -> elements
  let vms = [];

  function makeRow(vm) {
    const entry = { vm };
    const link = h('a', { href: `#/vm/${vm.id}`, class: 'fw-medium text-decoration-none' });
    const state = h('span', { class: 'state' });
    const cells = {
      name: h('td', null, link), state: h('td', null, state),
      cpu: h('td', { class: 'num text-end col-opt' }), memory: h('td', { class: 'num text-end col-opt' }),
      uptime: h('td', { class: 'num text-end col-opt' }), status: h('td', { class: 'col-opt small' }),
      host: h('td', { class: 'col-opt small text-secondary' }),
    };
    entry.link = link;
    entry.stateEl = state;
    entry.cells = cells;
    entry.controls = actionControls(ctx, () => entry.vm);
    const tr = h('tr', { dataset: { vmId: vm.id } }, ...COLUMNS.map((c) => cells[c.key]),
      h('td', { class: 'vm-actions' }, entry.controls.el));
    entry.tr = tr;
    return entry;
  }

  function fillRow(entry, vm) {
    entry.vm = vm;
    const st = vmState(vm.state);
    setText(entry.link, vm.name || vm.id);
    setText(entry.stateEl, st.label);
    const cls = `state state-${st.kind}`;
    if (entry.stateEl.className !== cls) entry.stateEl.className = cls;
    setText(entry.cells.cpu, fmtPercent(vm.cpuUsage));
    setText(entry.cells.memory, typeof vm.memoryA === 'number' ? fmtMb(vm.memoryA) : '—');
    entry.cells.memory.title = typeof vm.memoryD === 'number' ? `Demand ${fmtMb(vm.memoryD)}` : '';
    setText(entry.cells.uptime, fmtUptime(vm.uptime));
    setText(entry.cells.status, vm.status || (st.kind === 'unknown' ? '' : 'OK'));
    setText(entry.cells.host, vm.host || '');
    entry.controls.update(vm);
  }

  function arrange() {
    const q = search.value.trim().toLowerCase();
    const col = COLUMNS.find((c) => c.key === sort.key);
    const shown = vms.filter((vm) => !q || (vm.name || '').toLowerCase().includes(q) || (vm.host || '').toLowerCase().includes(q)
      || vmState(vm.state).label.toLowerCase().includes(q));
    shown.sort((a, b) => {
      const x = col.value(a);
      const y = col.value(b);
      const r = x < y ? -1 : x > y ? 1 : 0;
      return r * sort.dir || (a.name || '').localeCompare(b.name || '');
    });
    // Reorder only when the order changed, so focus inside a row survives a refresh.
    const wanted = shown.map((vm) => rows.get(vm.id).tr);
    const current = [...tbody.children];
    if (wanted.length !== current.length || wanted.some((tr, i) => tr !== current[i])) {
      for (const tr of current) if (!wanted.includes(tr)) tr.remove();
      wanted.forEach((tr, i) => { if (tbody.children[i] !== tr) tbody.insertBefore(tr, tbody.children[i] || null); });
    }
    for (const [key, { th, ind }] of sortButtons) {
      const active = key === sort.key;
      th.setAttribute('aria-sort', active ? (sort.dir > 0 ? 'ascending' : 'descending') : 'none');
      setText(ind, active ? (sort.dir > 0 ? '▲' : '▼') : '');
    }
    setText(countText, vms.length ? `(${shown.length}${shown.length !== vms.length ? ` of ${vms.length}` : ''})` : '');
    empty.hidden = shown.length > 0;
    table.hidden = shown.length === 0;
    setText(empty, vms.length ? 'No virtual machine matches the search.' : 'No virtual machines to show.');
  }
  search.addEventListener('input', arrange);

  function figure(label) {
    const value = h('div', { class: 'figure-value' }, '—');
    const bar = h('div', { class: 'progress-bar', style: 'width:0%' });
    const progress = h('div', { class: 'progress mt-1', role: 'progressbar', 'aria-label': label, 'aria-valuemin': '0', 'aria-valuemax': '100' }, bar);
    return { el: h('div', { class: 'col-6 col-md-4' }, h('div', { class: 'figure-label' }, label), value, progress), value, bar, progress };
  }

  function setBar(f, pct) {
    const p = Number.isFinite(pct) ? Math.max(0, Math.min(100, pct)) : 0;
    const w = `width:${p.toFixed(0)}%`;
    if (f.bar.getAttribute('style') !== w) f.bar.setAttribute('style', w);
    f.progress.setAttribute('aria-valuenow', p.toFixed(0));
    f.bar.className = `progress-bar ${p > 90 ? 'bg-danger' : p > 70 ? 'bg-warning' : 'bg-success'}`;
    f.progress.hidden = !Number.isFinite(pct);
  }

  function makeCard(s) {
    const title = h('h2', { class: 'h6 mb-0 me-auto' });
    const status = h('span', { class: 'badge text-wrap text-start' });
    const f = { uptime: figure('Uptime'), memory: figure('Memory'), cpu: figure('CPU'), disk: figure('Disk'), net: figure('Network') };
    f.uptime.progress.remove();
    f.net.progress.remove();
    const info = ctx.can('cHost_View') ? h('a', { class: 'small', href: `#/server/${Number(s.id)}` }, 'Details') : null;
    const body = h('div', { class: 'row g-2' }, f.uptime.el, f.memory.el, f.cpu.el, f.disk.el, f.net.el);
    const card = h('div', { class: 'col-12 col-md-6 col-xl-4' },
      h('section', { class: 'card server-card h-100', dataset: { serverId: String(s.id) } },
        h('div', { class: 'card-body' }, h('div', { class: 'd-flex align-items-center gap-2 mb-2' }, title, status, info), body)));
    return { card, title, status, f };
  }

  function fillCard(c, s) {
    setText(c.title, serverNames.get(s.id) || `Server ${s.id}`);
    const st = typeof s.status === 'string' ? s.status : '';
    setText(c.status, st === '' ? 'Connecting…' : st);
    c.status.className = `badge text-wrap text-start ${st === 'OK' ? 'text-bg-success' : st === '' ? 'text-bg-secondary' : 'text-bg-warning'}`;
    c.status.title = st;
    setText(c.f.uptime.value, fmtUptime(s.uptime));
    const total = Number(s.memoryTotal);
    const free = Number(s.memoryFree);
    if (Number.isFinite(total) && total > 0 && Number.isFinite(free)) {
      const used = total - free;
      setText(c.f.memory.value, `${fmtBytes(used * 1024)} of ${fmtBytes(total * 1024)}`);
      setBar(c.f.memory, (used / total) * 100);
    } else {
      setText(c.f.memory.value, '—');
      setBar(c.f.memory, NaN);
    }
    const cpu = Number(s.cpuLoad);
    setText(c.f.cpu.value, s.cpuLoad === undefined || s.cpuLoad === null ? '—' : fmtPercent(cpu));
    setBar(c.f.cpu, s.cpuLoad === undefined || s.cpuLoad === null ? NaN : cpu);
    const disk = Number(s.diskLoad);
    setText(c.f.disk.value, s.diskLoad === undefined || s.diskLoad === null ? '—' : fmtPercent(disk));
    setBar(c.f.disk, s.diskLoad === undefined || s.diskLoad === null ? NaN : disk);
    setText(c.f.net.value, s.bytesPersec === undefined || s.bytesPersec === null ? '—' : `${fmtBytes(s.bytesPersec)}/s`);
  }

  const unsubscribe = subscribe((data, error) => {
    clear(alertArea);
    if (error) {
      alertArea.append(errorBox(`Live data could not be fetched: ${error.message}`));
      return;
    }
    setText(updated, `Updated ${new Date().toLocaleTimeString()}`);
    // Servers
    const seen = new Set();
    for (const s of data.servers) {
      if (typeof s !== 'object' || s === null) continue;
      seen.add(s.id);
      let c = cards.get(s.id);
      if (!c) { c = makeCard(s); cards.set(s.id, c); serversArea.append(c.card); }
      fillCard(c, s);
    }
    for (const [id, c] of cards) if (!seen.has(id)) { c.card.remove(); cards.delete(id); }
    serversArea.hidden = cards.size === 0;
    // VMs
    vms = data.vms.filter((vm) => vm && isVmId(vm.id));
    const ids = new Set(vms.map((vm) => vm.id));
    for (const [id, r] of rows) if (!ids.has(id)) { r.tr.remove(); rows.delete(id); }
    for (const vm of vms) {
      let r = rows.get(vm.id);
      if (!r) { r = makeRow(vm); rows.set(vm.id, r); }
      fillRow(r, vm);
    }
    arrange();
  });
  vmCard.hidden = !ctx.can('cVms_View');
  return unsubscribe;
}
