// The dashboard: the managed servers with their live figures and every VM the user may see.
// An estate may hold tens of thousands of VMs, so the table is a window onto the list: only the
// rows in view exist (every row has the same height), a refresh changes only the texts that
// differ in those rows, and the list is filtered and sorted again only when a value it depends
// on changed. Search, host, state and sort live in the address, so a view can be bookmarked.
import { h, clear, setText } from '../dom.js';
import { get, post } from '../api.js';
import { subscribe, refreshSoon } from '../live.js';
import { sameVm } from '../livediff.js';
import { vmState, fmtPercent, fmtMb, fmtBytes, fmtUptime, uptimeSeconds, VM_ACTIONS } from '../model.js';
import { pageHeader, errorBox, confirmAction } from '../ui.js';
import { actionControls } from '../vmactions.js';
import { setNameOrder, sortByKey, sortByRank } from '../vmorder.js';

// Text columns sort by their rank in the browser's collation, numeric ones by value; either way
// a VM's sort keys are computed once when its values change, never inside a comparison.
const COLUMNS = [
  { key: 'name', label: 'Name', text: (vm) => vm.name || '' },
  { key: 'state', label: 'State', text: (vm) => vmState(vm.state).label },
  { key: 'cpu', label: 'CPU', num: (vm) => (typeof vm.cpuUsage === 'number' ? vm.cpuUsage : -1), opt: true },
  { key: 'memory', label: 'Memory', num: (vm) => (typeof vm.memoryA === 'number' ? vm.memoryA : -1), opt: true },
  { key: 'uptime', label: 'Uptime', num: (vm) => uptimeSeconds(vm.uptime), opt: true },
  { key: 'status', label: 'Status', text: (vm) => vm.status || '', opt: true },
  { key: 'host', label: 'Host', text: (vm) => vm.host || '', opt: true },
];
const COLUMN = new Map(COLUMNS.map((c) => [c.key, c]));
// The members a VM row shows; a VM whose members are all equal to the last reply's is unchanged.
const MEMBERS = ['name', 'state', 'cpuUsage', 'memoryA', 'memoryD', 'uptime', 'status', 'host'];
const STATE_FILTERS = [
  ['', 'All states'], ['running', 'Running'], ['off', 'Off'], ['saved', 'Saved'], ['paused', 'Paused'],
  ['busy', 'Changing'], ['unknown', 'Unknown'],
];
// The actions offered for several VMs at once.
const BULK = ['start', 'shutdown', 'turnoff', 'save'];
const OVERSCAN = 8;
const PARALLEL = 4;
const collator = new Intl.Collator(undefined, { sensitivity: 'base', numeric: false });

// The view as the address keeps it: #/?q=...&host=...&state=...&sort=...&dir=desc
function readView() {
  const query = location.hash.includes('?') ? location.hash.slice(location.hash.indexOf('?') + 1) : '';
  const p = new URLSearchParams(query);
  const sort = COLUMN.has(p.get('sort')) ? p.get('sort') : 'name';
  const state = STATE_FILTERS.some(([k]) => k && k === p.get('state')) ? p.get('state') : '';
  return { q: (p.get('q') || '').slice(0, 200), host: (p.get('host') || '').slice(0, 300), state, sort, dir: p.get('dir') === 'desc' ? -1 : 1 };
}

function writeView(v) {
  const p = new URLSearchParams();
  if (v.q) p.set('q', v.q);
  if (v.host) p.set('host', v.host);
  if (v.state) p.set('state', v.state);
  if (v.sort !== 'name') p.set('sort', v.sort);
  if (v.dir < 0) p.set('dir', 'desc');
  const text = p.toString();
  const hash = text ? `#/?${text}` : '#/';
  // Replaced, not pushed: typing in the search must not fill the history, and no hashchange
  // (which would render the page again) is fired.
  if (location.hash !== hash && (location.hash || hash !== '#/')) history.replaceState(history.state, '', hash);
}

function sameMembers(a, b) {
  for (const m of MEMBERS) if (a[m] !== b[m]) return false;
  return true;
}

export async function render(main, ctx) {
  // The servers' names are a nicety: asked for beside the live data, never waited for.
  let serverNames = new Map();
  let closed = false;
  if (ctx.can('cHost_View')) {
    get('/api/servers').then((list) => {
      if (closed || !Array.isArray(list)) return;
      serverNames = new Map(list.map((s) => [s.id, s.name]));
      for (const [id, c] of cards) setText(c.title, serverTitle(id));
    }).catch(() => { /* the figures still show */ });
  }
  const serverTitle = (id) => serverNames.get(id) || `Server ${id}`;

  const view = readView();
  const search = h('input', { type: 'search', class: 'form-control', placeholder: 'Search VMs', 'aria-label': 'Search VMs', id: 'vm-search', value: view.q });
  const hostFilter = h('select', { class: 'form-select', id: 'vm-host', 'aria-label': 'Host' }, h('option', { value: '' }, 'All hosts'));
  const stateFilter = h('select', { class: 'form-select', id: 'vm-state', 'aria-label': 'State' },
    STATE_FILTERS.map(([k, t]) => h('option', { value: k, selected: k === view.state }, t)));
  const updated = h('span', { class: 'text-secondary small', 'aria-live': 'off' });
  main.append(pageHeader('Dashboard', updated));
  const alertArea = h('div');
  const serversArea = h('div', { class: 'row g-3', id: 'server-cards' });
  // Many servers would push the VM list far down: beyond a few their cards start folded.
  const serversTitle = h('summary', { class: 'h6 mb-2' }, 'Servers');
  const serversBox = h('details', { class: 'servers-box mb-4', open: true }, serversTitle, serversArea);
  let folded = false;
  main.append(alertArea, serversBox);
  serversBox.addEventListener('toggle', () => {
    if (!serversBox.open) return;
    for (const c of cards.values()) if (c.stale) { c.stale = false; fillCard(c, c.last); }
  });

  const tbody = h('tbody');
  const headRow = h('tr');
  const table = h('table', { class: 'table table-hover table-vms mb-0', id: 'vm-table' },
    h('caption', { class: 'visually-hidden' }, 'Virtual machines'), h('thead', null, headRow), tbody);
  // The rows above and below the window are padding of this box: padding always counts in the
  // scrolled length, where a margin below the table might not.
  const sizer = h('div', { class: 'vm-sizer' }, table);
  const scroller = h('div', { class: 'vm-scroll', id: 'vm-scroll' }, sizer);
  const countText = h('span', { class: 'text-secondary small', id: 'vm-count' });
  const empty = h('div', { class: 'text-secondary p-3', hidden: true });
  const bulkBar = h('div', { class: 'vm-bulk px-3 py-2', id: 'vm-bulk', hidden: true });
  const summaryArea = h('div', { id: 'bulk-summary-area' });
  const vmCard = h('section', { class: 'card', 'aria-labelledby': 'vms-title' },
    h('div', { class: 'card-header bg-white d-flex flex-wrap gap-2 align-items-center' },
      h('h2', { class: 'h5 mb-0 me-auto', id: 'vms-title' }, 'Virtual machines ', countText),
      h('div', { class: 'vm-filter-box' }, hostFilter),
      h('div', { class: 'vm-filter-box' }, stateFilter),
      h('div', { class: 'vm-search-box' }, search)),
    summaryArea, bulkBar, scroller, empty);
  main.append(vmCard);

  // All VMs by id: { vm, keys: { column: sort key }, nameLower, hostLower, stateLower, kind }.
  const entries = new Map();
  let shown = []; // entries in view order after filter and sort
  let total = 0;
  const selected = new Set();
  const cards = new Map(); // server id -> elements
  let rowHeight = 0;
  let orders = 0; // entries' name orders are below this
  const rankCount = {}; // text column -> how many distinct texts it ranks
  const dirtyRanks = new Set(['name', 'state', 'status', 'host']);
  let viewDirty = true;
  let hostsDirty = true;

  // Sort header, with the box that selects every VM in the current view beside the name.
  const selectAll = h('input', { type: 'checkbox', class: 'form-check-input me-2 vm-select-all', 'aria-label': 'Select all VMs shown' });
  const sortButtons = new Map();
  for (const c of COLUMNS) {
    const ind = h('span', { class: 'sort-ind', 'aria-hidden': 'true' });
    const btn = h('button', { type: 'button' }, c.label, ind);
    const th = h('th', { class: `sortable col-${c.key}${c.opt ? ' col-opt' : ''}${c.num ? ' text-end' : ''}`, scope: 'col' },
      c.key === 'name' ? selectAll : null, btn);
    btn.addEventListener('click', () => {
      if (view.sort === c.key) view.dir = -view.dir; else { view.sort = c.key; view.dir = 1; }
      changeView();
    });
    sortButtons.set(c.key, { th, ind });
    headRow.append(th);
  }
  headRow.append(h('th', { scope: 'col', class: 'text-end col-actions' }, h('span', { class: 'visually-hidden' }, 'Actions')));

  // ---- the list ------------------------------------------------------------------------------

  // A VM's text sort keys and filter keys, kept while the members they come from stay the same:
  // most changes are figures, not names.
  function keysOf(vm, old, oldVm) {
    if (old && vm.name === oldVm.name && vm.state === oldVm.state && vm.status === oldVm.status && vm.host === oldVm.host) return old;
    const st = vmState(vm.state);
    return {
      text: { name: vm.name || '', state: st.label, status: vm.status || '', host: vm.host || '' },
      search: `${(vm.name || '').toLowerCase()}\n${(vm.host || '').toLowerCase()}\n${st.label.toLowerCase()}`,
      kind: st.kind,
    };
  }

  // A VM's numeric sort key for one column, made when first asked for after a change: only the
  // column the list is sorted by is ever asked for.
  function numKey(e, col) {
    if (e.nk !== col.key) {
      e.nv = col.num(e.vm);
      e.nk = col.key;
    }
    return e.nv;
  }

  // Takes what changed since the last reply (the live data's reader has checked the ids and
  // left out repeated ones), or, with `whole`, the full list; says which visible rows to fill.
  function merge(list, removed, whole) {
    const sortCol = COLUMN.get(view.sort);
    let changed = false;
    let added = false;
    if (whole) {
      const ids = new Set(list.map((vm) => vm.id));
      removed = [...entries.keys()].filter((id) => !ids.has(id));
    }
    for (const vm of list) {
      const e = entries.get(vm.id);
      if (!e) {
        entries.set(vm.id, { id: vm.id, vm, k: keysOf(vm), rank: {}, gen: 1, nk: null, nv: 0 });
        changed = true;
        added = true;
      } else if (e.vm !== vm && (!whole || !sameMembers(e.vm, vm))) { // a delta lists only changed VMs
        const old = e.k;
        const oldNum = sortCol.num ? numKey(e, sortCol) : 0;
        e.k = keysOf(vm, old, e.vm);
        e.vm = vm;
        e.nk = null;
        e.gen++;
        // Only a change of what decides order or membership arranges the list again.
        if (sortCol.num && numKey(e, sortCol) !== oldNum) changed = true;
        if (old !== e.k) {
          for (const key of ['name', 'state', 'status', 'host']) if (old.text[key] !== e.k.text[key]) dirtyRanks.add(key);
          if (old.text.host !== e.k.text.host) hostsDirty = true;
          if ((!sortCol.num && old.text[sortCol.key] !== e.k.text[sortCol.key]) || old.search !== e.k.search || old.kind !== e.k.kind) changed = true;
        }
      }
    }
    for (const id of removed) {
      if (entries.delete(id)) { selected.delete(id); changed = true; hostsDirty = true; }
    }
    if (added) {
      hostsDirty = true;
      for (const key of ['name', 'state', 'status', 'host']) dirtyRanks.add(key);
    }
    if (changed) viewDirty = true;
    total = entries.size;
  }

  // Ranks of the text columns in collation order, made again only when such a text changed.
  // The name order, every sort's last tie-breaker, is made again with the name ranks (a new
  // VM always makes them again).
  function rank() {
    const names = dirtyRanks.has('name');
    for (const key of dirtyRanks) {
      const values = [...new Set([...entries.values()].map((e) => e.k.text[key]))].sort(collator.compare);
      const pos = new Map(values.map((v, i) => [v, i]));
      for (const e of entries.values()) e.rank[key] = pos.get(e.k.text[key]);
      rankCount[key] = values.length;
    }
    dirtyRanks.clear();
    if (names) orders = setNameOrder(entries.values(), (e) => e.rank.name);
  }

  function arrange() {
    rank();
    const q = view.q.trim().toLowerCase();
    const list = [];
    for (const e of entries.values()) {
      if (view.host && e.k.text.host !== view.host) continue;
      if (view.state && e.k.kind !== view.state) continue;
      if (q && !e.k.search.includes(q)) continue;
      list.push(e);
    }
    const col = COLUMN.get(view.sort);
    shown = col.num ? sortByKey(list, (e) => numKey(e, col), view.dir, orders)
      : sortByRank(list, (e) => e.rank[col.key], rankCount[col.key], view.dir, orders);
    viewDirty = false;
  }

  // ---- the rows in view ------------------------------------------------------------------------

  const rendered = new Map(); // vm id -> row
  const spare = [];

  function makeRow() {
    const row = { id: null, gen: 0, vm: null };
    const box = h('input', { type: 'checkbox', class: 'form-check-input me-2 vm-select' });
    const link = h('a', { class: 'fw-medium text-decoration-none' });
    const state = h('span', { class: 'state' });
    row.cells = {
      name: h('td', { class: 'col-name' }, box, link), state: h('td', { class: 'col-state' }, state),
      cpu: h('td', { class: 'num text-end col-opt col-cpu' }), memory: h('td', { class: 'num text-end col-opt col-memory' }),
      uptime: h('td', { class: 'num text-end col-opt col-uptime' }), status: h('td', { class: 'col-opt small col-status' }),
      host: h('td', { class: 'col-opt small text-secondary col-host' }),
    };
    row.box = box;
    row.link = link;
    row.stateEl = state;
    row.controls = actionControls(ctx, () => row.vm);
    row.tr = h('tr', null, ...COLUMNS.map((c) => row.cells[c.key]), h('td', { class: 'vm-actions' }, row.controls.el));
    box.addEventListener('change', () => {
      if (!row.id) return;
      if (box.checked) selected.add(row.id); else selected.delete(row.id);
      showSelection();
    });
    return row;
  }

  function fillRow(row, e) {
    const vm = e.vm;
    if (row.id !== e.id) {
      row.id = e.id;
      row.tr.dataset.vmId = e.id;
      row.link.setAttribute('href', `#/vm/${e.id}`);
    }
    row.vm = vm;
    row.gen = e.gen;
    const st = vmState(vm.state);
    setText(row.link, vm.name || vm.id);
    row.box.setAttribute('aria-label', `Select ${vm.name || vm.id}`);
    setText(row.stateEl, st.label);
    const cls = `state state-${st.kind}`;
    if (row.stateEl.className !== cls) row.stateEl.className = cls;
    setText(row.cells.cpu, fmtPercent(vm.cpuUsage));
    setText(row.cells.memory, typeof vm.memoryA === 'number' ? fmtMb(vm.memoryA) : '—');
    const title = typeof vm.memoryD === 'number' ? `Demand ${fmtMb(vm.memoryD)}` : '';
    if (row.cells.memory.title !== title) row.cells.memory.title = title;
    setText(row.cells.uptime, fmtUptime(vm.uptime));
    setText(row.cells.status, vm.status || (st.kind === 'unknown' ? '' : 'OK'));
    setText(row.cells.host, vm.host || '');
    row.controls.update(vm);
  }

  // Shows the rows that fall in the scrolled window (with a margin), reusing the row elements
  // of VMs that left it; a row whose VM did not change since it was filled is not touched.
  function paint() {
    const n = shown.length;
    if (!rowHeight && n) {
      // The one row height, from a real row, so the list's length in pixels is exact. The row
      // stays as the first VM's, and the header is measured in the same layout.
      const probe = spare.pop() || makeRow();
      fillRow(probe, shown[0]);
      tbody.insertBefore(probe.tr, tbody.firstChild);
      rendered.set(shown[0].id, probe);
      rowHeight = probe.tr.getBoundingClientRect().height || 41;
      headHeight = headRow.getBoundingClientRect().height;
    }
    const rh = rowHeight || 41;
    if (!headHeight) headHeight = headRow.getBoundingClientRect().height;
    const top = Math.max(0, scroller.scrollTop - headHeight);
    const first = Math.max(0, Math.floor(top / rh) - OVERSCAN);
    const count = Math.ceil((scroller.clientHeight || 600) / rh) + 2 * OVERSCAN;
    const last = Math.min(n, first + count);
    const wanted = shown.slice(first, last);
    const keep = new Set(wanted.map((e) => e.id));
    for (const [id, row] of rendered) {
      if (!keep.has(id)) { rendered.delete(id); row.tr.remove(); row.id = null; spare.push(row); }
    }
    let at = tbody.firstChild;
    for (const e of wanted) {
      let row = rendered.get(e.id);
      if (!row) {
        row = spare.pop() || makeRow();
        rendered.set(e.id, row);
        fillRow(row, e);
      } else if (row.gen !== e.gen || row.vm !== e.vm) {
        fillRow(row, e);
      }
      const checked = selected.has(e.id);
      if (row.box.checked !== checked) row.box.checked = checked;
      if (row.tr !== at) tbody.insertBefore(row.tr, at); else at = at.nextSibling;
    }
    // The space of the rows above and below the window, so the scroll bar tells the truth.
    sizer.style.paddingTop = `${first * rh}px`;
    sizer.style.paddingBottom = `${(n - last) * rh}px`;
  }

  let headHeight = 0; // measured once, again after a resize
  let paintQueued = false;
  scroller.addEventListener('scroll', () => {
    if (paintQueued) return;
    paintQueued = true;
    requestAnimationFrame(() => { paintQueued = false; paint(); });
  }, { passive: true });
  const onResize = () => { headHeight = 0; paint(); };
  window.addEventListener('resize', onResize);

  function showCounts() {
    for (const [key, { th, ind }] of sortButtons) {
      const active = key === view.sort;
      const sort = active ? (view.dir > 0 ? 'ascending' : 'descending') : 'none';
      if (th.getAttribute('aria-sort') !== sort) th.setAttribute('aria-sort', sort);
      setText(ind, active ? (view.dir > 0 ? '▲' : '▼') : '');
    }
    setText(countText, total ? `(${shown.length}${shown.length !== total ? ` of ${total}` : ''})` : '');
    const none = shown.length === 0;
    if (empty.hidden === none) empty.hidden = !none;
    if (table.hidden !== none) table.hidden = none;
    if (scroller.classList.contains('vm-scroll-empty') !== none) scroller.classList.toggle('vm-scroll-empty', none);
    const filtered = view.q || view.host || view.state;
    setText(empty, total ? (filtered ? 'No virtual machine matches the search.' : 'No virtual machines to show.') : 'No virtual machines to show.');
  }

  function changeView({ toTop = true } = {}) {
    writeView(view);
    arrange();
    if (toTop) scroller.scrollTop = 0;
    paint();
    showCounts();
    showSelection();
  }

  search.addEventListener('input', () => { view.q = search.value.slice(0, 200); changeView(); });
  hostFilter.addEventListener('change', () => { view.host = hostFilter.value; changeView(); });
  stateFilter.addEventListener('change', () => { view.state = stateFilter.value; changeView(); });
  // The host filter offers the hosts that hold VMs; a host named by the address but not (yet)
  // listed stays offered, so the view is not lost while the data arrive.
  let hostList = '';
  function syncHosts() {
    if (!hostsDirty && hostFilter.value === view.host) return;
    hostsDirty = false;
    const hosts = [...new Set([...entries.values()].map((e) => e.k.text.host).filter(Boolean))].sort(collator.compare);
    if (view.host && !hosts.includes(view.host)) hosts.push(view.host);
    const text = hosts.join('\n');
    if (text !== hostList) {
      hostList = text;
      clear(hostFilter).append(h('option', { value: '' }, 'All hosts'), ...hosts.map((name) => h('option', { value: name }, name)));
    }
    if (hostFilter.value !== view.host) hostFilter.value = view.host;
  }

  // ---- several VMs at once -------------------------------------------------------------------

  const bulkActions = VM_ACTIONS.filter((a) => BULK.includes(a.id) && ctx.can(a.claim));
  const bulkCount = h('span', { class: 'fw-medium me-2', id: 'vm-bulk-count' });
  bulkBar.append(bulkCount);
  for (const a of bulkActions) {
    bulkBar.append(h('button', { type: 'button', class: `btn btn-sm ${a.danger ? 'btn-outline-danger' : 'btn-outline-secondary'}`, dataset: { bulk: a.id },
      onclick: () => runBulk(a) }, a.label));
  }
  bulkBar.append(h('button', { type: 'button', class: 'btn btn-sm btn-link', onclick: () => { selected.clear(); paint(); showSelection(); } }, 'Clear selection'));

  function showSelection() {
    const inView = selected.size ? shown.reduce((n, e) => n + (selected.has(e.id) ? 1 : 0), 0) : 0;
    selectAll.checked = inView > 0 && inView === shown.length;
    selectAll.indeterminate = inView > 0 && inView < shown.length;
    bulkBar.hidden = selected.size === 0 || bulkActions.length === 0;
    setText(bulkCount, `${selected.size} selected`);
  }

  selectAll.addEventListener('change', () => {
    if (selectAll.checked) for (const e of shown) selected.add(e.id);
    else for (const e of shown) selected.delete(e.id);
    paint();
    showSelection();
  });

  // Each VM is its own request, so the server checks and audits each one; the summary says
  // which succeeded, which were refused and which failed, and which were skipped because the
  // action does not fit their state.
  async function runBulk(action) {
    const targets = [...selected].map((id) => entries.get(id)).filter(Boolean);
    const fit = targets.filter((e) => action.when.includes(vmState(e.vm.state).kind));
    const skipped = targets.filter((e) => !fit.includes(e));
    if (!fit.length) {
      showSummary(action, { done: [], refused: [], failed: [], skipped });
      return;
    }
    if (action.confirm) {
      const ok = await confirmAction({
        title: `${action.label}: ${fit.length} virtual machine${fit.length === 1 ? '' : 's'}`,
        message: `${action.confirm} ${fit.length === 1 ? 'the virtual machine' : `these ${fit.length} virtual machines`}: ${fit.slice(0, 5).map((e) => e.vm.name || e.id).join(', ')}${fit.length > 5 ? ', …' : ''}?`,
        confirmLabel: action.label,
        danger: !!action.danger,
      });
      if (!ok) return;
    }
    for (const b of bulkBar.querySelectorAll('button')) b.disabled = true;
    const result = { done: [], refused: [], failed: [], skipped };
    const queue = [...fit];
    const worker = async () => {
      for (let e = queue.shift(); e; e = queue.shift()) {
        const vm = e.vm;
        try {
          await post('/api/vm/state', { vmId: vm.id, state: action.state });
          result.done.push(e);
        } catch (err) {
          (err.status === 403 ? result.refused : result.failed).push({ ...e, reason: err.message });
        }
      }
    };
    await Promise.all(Array.from({ length: Math.min(PARALLEL, fit.length) }, worker));
    for (const b of bulkBar.querySelectorAll('button')) b.disabled = false;
    showSummary(action, result);
    refreshSoon();
  }

  function showSummary(action, r) {
    const parts = [`${r.done.length} done`];
    if (r.refused.length) parts.push(`${r.refused.length} refused`);
    if (r.failed.length) parts.push(`${r.failed.length} failed`);
    if (r.skipped.length) parts.push(`${r.skipped.length} skipped`);
    const kind = r.refused.length || r.failed.length ? 'warning' : 'success';
    const list = (title, items, why) => (items.length ? h('div', { class: 'mt-1' }, h('span', { class: 'fw-medium' }, `${title}: `),
      items.map((e, i) => [i ? ', ' : '', h('span', { class: 'bulk-vm', dataset: { vmId: e.id } }, e.vm.name || e.id), why(e) ? ` (${why(e)})` : ''])) : null);
    const box = h('div', { class: `alert alert-${kind} alert-dismissible mx-3 mt-3 mb-0`, role: 'status', id: 'bulk-summary' },
      h('div', { class: 'fw-medium' }, `${action.label}: ${parts.join(', ')}.`),
      list('Refused', r.refused, (e) => e.reason),
      list('Failed', r.failed, (e) => e.reason),
      list('Skipped', r.skipped, (e) => `${vmState(e.vm.state).label.toLowerCase()}`),
      h('button', { type: 'button', class: 'btn-close', 'data-bs-dismiss': 'alert', 'aria-label': 'Close' }));
    clear(summaryArea).append(box);
  }

  // ---- servers -------------------------------------------------------------------------------

  function figure(label) {
    const value = h('div', { class: 'figure-value' }, '—');
    const bar = h('div', { class: 'progress-bar' });
    const progress = h('div', { class: 'progress mt-1', role: 'progressbar', 'aria-label': label, 'aria-valuemin': '0', 'aria-valuemax': '100' }, bar);
    return { el: h('div', { class: 'col-6 col-md-4' }, h('div', { class: 'figure-label' }, label), value, progress), value, bar, progress };
  }

  function setBar(f, pct) {
    const p = Number.isFinite(pct) ? Math.max(0, Math.min(100, pct)) : 0;
    const w = `${p.toFixed(0)}%`;
    if (f.bar.style.width !== w) f.bar.style.width = w;
    f.progress.setAttribute('aria-valuenow', p.toFixed(0));
    const cls = `progress-bar ${p > 90 ? 'bg-danger' : p > 70 ? 'bg-warning' : 'bg-success'}`;
    if (f.bar.className !== cls) f.bar.className = cls;
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
    return { card, title, status, f, last: null };
  }

  function fillCard(c, s) {
    setText(c.title, serverTitle(s.id));
    const st = typeof s.status === 'string' ? s.status : '';
    setText(c.status, st === '' ? 'Connecting…' : st);
    const cls = `badge text-wrap text-start ${st === 'OK' ? 'text-bg-success' : st === '' ? 'text-bg-secondary' : 'text-bg-warning'}`;
    if (c.status.className !== cls) c.status.className = cls;
    if (c.status.title !== st) c.status.title = st;
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

  function showServers(list) {
    const seen = new Set();
    for (const s of list) {
      if (typeof s !== 'object' || s === null) continue;
      seen.add(s.id);
      let c = cards.get(s.id);
      if (!c) { c = makeCard(s); cards.set(s.id, c); serversArea.append(c.card); }
      if (!c.last || !sameVm(c.last, s)) {
        c.last = s;
        // Folded cards are filled when they are shown.
        if (serversBox.open) fillCard(c, s); else c.stale = true;
      }
    }
    for (const [id, c] of cards) if (!seen.has(id)) { c.card.remove(); cards.delete(id); }
    serversBox.hidden = cards.size === 0;
    setText(serversTitle, `Servers (${cards.size})`);
    if (!folded && cards.size > 6) { folded = true; serversBox.open = false; }
  }

  // ---- live data -----------------------------------------------------------------------------

  let failing = false;
  const unsubscribe = subscribe((data, error, changed, delta) => {
    if (error) {
      failing = true;
      clear(alertArea).append(errorBox(`Live data could not be fetched: ${error.message}`));
      return;
    }
    if (failing) { failing = false; clear(alertArea); }
    setText(updated, `Updated ${new Date().toLocaleTimeString()}`);
    // A search field changed without an input event (form restoration, autofill, a script)
    // still counts from the next refresh on.
    if (search.value.slice(0, 200) !== view.q) {
      view.q = search.value.slice(0, 200);
      writeView(view);
      viewDirty = true;
    }
    if (!changed && !viewDirty) return;
    showServers(data.servers);
    if (delta) merge(delta.changed, delta.removed, false);
    else merge(data.vms, [], true);
    syncHosts();
    if (viewDirty) arrange();
    paint();
    showCounts();
    showSelection();
  });
  vmCard.hidden = !ctx.can('cVms_View');
  return () => {
    closed = true;
    unsubscribe();
    window.removeEventListener('resize', onResize);
  };
}
