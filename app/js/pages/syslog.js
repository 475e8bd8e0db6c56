// The instance's own event entries, newest first.
import { h } from '../dom.js';
import { get } from '../api.js';
import { pageHeader, loadInto, badge } from '../ui.js';

export async function render(main) {
  const area = h('div', { class: 'card' });
  main.append(pageHeader('System log', h('button', { type: 'button', class: 'btn btn-outline-secondary', onclick: () => show() }, 'Refresh')), area);
  const show = () => loadInto(area, () => get('/api/syslog'), (list) => {
    const entries = Array.isArray(list) ? list : [];
    if (!entries.length) { area.append(h('p', { class: 'p-3 mb-0 text-secondary' }, 'No entries.')); return; }
    area.append(h('div', { class: 'table-responsive' }, h('table', { class: 'table table-sm mb-0 align-middle', id: 'syslog-table' },
      h('thead', null, h('tr', null, ['Date', 'Type', 'Message'].map((t) => h('th', { scope: 'col' }, t)))),
      h('tbody', null, entries.map((e) => h('tr', null, h('td', { class: 'num small text-nowrap' }, e.date || ''),
        h('td', null, e.eventType === 1 ? badge('Error', 'danger') : badge('Success', 'success')),
        h('td', null, h('pre', { class: 'log-message' }, e.message || ''))))))));
  });
  await show();
}
