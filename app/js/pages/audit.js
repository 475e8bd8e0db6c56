// The audit log: filtered, sorted and paged by the server.
import { h, clear, setText } from '../dom.js';
import { get } from '../api.js';
import { CLAIMS } from '../model.js';
import { pageHeader, errorBox, spinner, badge } from '../ui.js';

const COLS = [
  { key: 'date', label: 'Date' }, { key: 'username', label: 'User' }, { key: 'claim', label: 'Action' },
  { key: 'resource', label: 'Resource' }, { key: 'userip', label: 'Address', opt: true }, { key: 'result', label: 'Result' },
  { key: 'description', label: 'Description', opt: true },
];
const PAGE_SIZES = [25, 50, 100];

export function auditQuery({ start, limit, sort, filters }) {
  const q = new URLSearchParams();
  q.set('page', String(Math.floor(start / limit) + 1));
  q.set('start', String(start));
  q.set('limit', String(limit));
  q.set('sort', JSON.stringify([{ property: sort.key, direction: sort.dir > 0 ? 'ASC' : 'DESC' }]));
  q.set('filter', JSON.stringify(filters));
  return `/api/auditlog?${q}`;
}

export async function render(main) {
  const state = { start: 0, limit: 25, sort: { key: 'date', dir: -1 } };
  const f = {
    username: h('input', { class: 'form-control form-control-sm', id: 'flt-user', type: 'search', placeholder: 'starts with…' }),
    claim: h('select', { class: 'form-select form-select-sm', id: 'flt-claim' }, h('option', { value: '' }, 'Any'),
      h('option', { value: '100' }, 'Login'), h('option', { value: '101' }, 'Logout'),
      CLAIMS.map((c) => h('option', { value: String(c.no) }, c.text))),
    resource: h('input', { class: 'form-control form-control-sm', id: 'flt-resource', type: 'search', placeholder: 'starts with…' }),
    userip: h('input', { class: 'form-control form-control-sm', id: 'flt-address', type: 'search', placeholder: 'starts with…' }),
    result: h('select', { class: 'form-select form-select-sm', id: 'flt-result' }, h('option', { value: '' }, 'Any'),
      h('option', { value: '0' }, 'Allowed'), h('option', { value: '1' }, 'Refused')),
    dateOp: h('select', { class: 'form-select form-select-sm', id: 'flt-date-op', 'aria-label': 'Date comparison', style: 'max-width: 8.5rem' },
      h('option', { value: 'eq' }, 'on'), h('option', { value: 'gt' }, 'on or after'), h('option', { value: 'lt' }, 'before')),
    date: h('input', { class: 'form-control form-control-sm', id: 'flt-date', type: 'date' }),
  };
  const lab = (text, el) => h('div', { class: 'col-6 col-md-4 col-xl' }, h('label', { class: 'form-label small mb-1', for: el.id }, text), el);
  const form = h('form', { class: 'card card-body mb-3', id: 'audit-filters', role: 'search' },
    h('div', { class: 'row g-2 align-items-end' },
      lab('User', f.username), lab('Action', f.claim), lab('Resource', f.resource), lab('Address', f.userip), lab('Result', f.result),
      h('div', { class: 'col-12 col-md-4 col-xl-3' }, h('label', { class: 'form-label small mb-1', for: f.date.id }, 'Date'),
        h('div', { class: 'input-group input-group-sm' }, f.dateOp, f.date))),
    h('div', { class: 'd-flex gap-2 mt-2' }, h('button', { type: 'submit', class: 'btn btn-sm btn-primary' }, 'Apply filters'),
      h('button', { type: 'reset', class: 'btn btn-sm btn-outline-secondary' }, 'Clear')));
  const pager = h('div', { class: 'd-flex flex-wrap align-items-center gap-2 p-2 border-top' });
  const info = h('span', { class: 'small text-secondary me-auto', id: 'audit-total', 'aria-live': 'polite' });
  const prev = h('button', { type: 'button', class: 'btn btn-sm btn-outline-secondary' }, '‹ Previous');
  const next = h('button', { type: 'button', class: 'btn btn-sm btn-outline-secondary' }, 'Next ›');
  const size = h('select', { class: 'form-select form-select-sm w-auto', 'aria-label': 'Rows per page' }, PAGE_SIZES.map((n) => h('option', { value: String(n) }, `${n} rows`)));
  pager.append(info, size, prev, next);
  const tableArea = h('div');
  main.append(pageHeader('Audit log'), form, h('div', { class: 'card' }, tableArea, pager));

  const headRow = h('tr');
  const inds = new Map();
  for (const c of COLS) {
    const ind = h('span', { class: 'sort-ind', 'aria-hidden': 'true' });
    const th = h('th', { scope: 'col', class: `sortable${c.opt ? ' col-opt' : ''}` }, h('button', { type: 'button', onclick: () => {
      if (state.sort.key === c.key) state.sort.dir = -state.sort.dir; else state.sort = { key: c.key, dir: c.key === 'date' ? -1 : 1 };
      state.start = 0; load();
    } }, c.label, ind));
    inds.set(c.key, { th, ind });
    headRow.append(th);
  }
  const tbody = h('tbody');
  const table = h('table', { class: 'table table-sm table-hover mb-0 align-middle', id: 'audit-table' }, h('thead', null, headRow), tbody);

  function filters() {
    const out = [];
    for (const key of ['username', 'resource', 'userip']) {
      const v = f[key].value.trim();
      if (v) out.push({ property: key, value: v, operator: 'like' });
    }
    if (f.claim.value) out.push({ property: 'claim', value: f.claim.value, operator: 'eq' });
    if (f.result.value) out.push({ property: 'result', value: f.result.value, operator: 'eq' });
    if (f.date.value) out.push({ property: 'date', value: f.date.value, operator: f.dateOp.value });
    return out;
  }

  let token = 0;
  async function load() {
    const my = ++token;
    if (!tableArea.firstChild) tableArea.append(spinner());
    let page;
    try {
      page = await get(auditQuery({ ...state, filters: filters() }));
    } catch (e) {
      if (my === token) clear(tableArea).append(errorBox(e.message));
      return;
    }
    if (my !== token) return;
    const rows = Array.isArray(page.data) ? page.data : [];
    const total = Number(page.total) || 0;
    const wantClaim = f.claim.value;
    clear(tbody);
    for (const r of rows) {
      // The server matches the action by the leading digits of its number, so "1" would also
      // bring 10–19; rows of other actions are marked rather than counted silently.
      const other = wantClaim !== '' && String(r.claim) !== wantClaim;
      tbody.append(h('tr', { class: other ? 'text-secondary opacity-50' : null },
        h('td', { class: 'num small' }, r.date || ''), h('td', null, r.username || ''), h('td', null, r.sclaim || String(r.claim ?? '')),
        h('td', null, r.resource || ''), h('td', { class: 'col-opt small' }, r.userip || ''),
        h('td', null, r.result === 0 ? badge('Allowed', 'success') : badge('Refused', 'danger')),
        h('td', { class: 'col-opt small text-secondary' }, r.description || '')));
    }
    clear(tableArea).append(rows.length ? h('div', { class: 'table-responsive' }, table) : h('p', { class: 'p-3 mb-0 text-secondary' }, 'No entries match.'));
    for (const [key, { th, ind }] of inds) {
      const active = key === state.sort.key;
      th.setAttribute('aria-sort', active ? (state.sort.dir > 0 ? 'ascending' : 'descending') : 'none');
      setText(ind, active ? (state.sort.dir > 0 ? '▲' : '▼') : '');
    }
    const first = total ? state.start + 1 : 0;
    setText(info, `${first}–${state.start + rows.length} of ${total}`);
    prev.disabled = state.start === 0;
    next.disabled = state.start + state.limit >= total;
  }

  form.addEventListener('submit', (ev) => { ev.preventDefault(); state.start = 0; load(); });
  form.addEventListener('reset', () => setTimeout(() => { state.start = 0; load(); }));
  prev.addEventListener('click', () => { state.start = Math.max(0, state.start - state.limit); load(); });
  next.addEventListener('click', () => { state.start += state.limit; load(); });
  size.addEventListener('change', () => { state.limit = Number(size.value); state.start = 0; load(); });
  await load();
}
