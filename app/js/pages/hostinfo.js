// Information about one managed host, and shutting it down or restarting it.
import { h } from '../dom.js';
import { get, post } from '../api.js';
import { pageHeader, confirmAction, notify, loadInto } from '../ui.js';
import { fmtBytes } from '../model.js';

const dl = (pairs) => h('dl', { class: 'props' }, pairs.map(([k, v]) => [h('dt', null, k), h('dd', null, v === null || v === undefined || v === '' ? '—' : String(v))]));
const card = (title, ...body) => h('div', { class: 'col-12 col-lg-6' }, h('section', { class: 'card h-100' }, h('div', { class: 'card-body' }, h('h2', { class: 'h6' }, title), ...body)));

export async function render(main, ctx, [idText]) {
  const id = Number(idText);
  let name = `Server ${id}`;
  try {
    if (ctx.can('cHost_View')) {
      const list = await get('/api/servers');
      const s = Array.isArray(list) && list.find((x) => x.id === id);
      if (s) name = s.name;
    }
  } catch { /* the title falls back to the id */ }
  const tools = [];
  const power = (restart) => confirmAction({
    title: restart ? 'Restart server' : 'Shut down server',
    message: `${restart ? 'Restart' : 'Shut down'} the host “${name}” now? Every VM on it stops with it.`,
    confirmLabel: restart ? 'Restart' : 'Shut down', danger: true,
    action: () => post('/api/server/state', { id, state: restart ? 1 : 0 }),
  }).then((ok) => { if (ok) notify(`${restart ? 'Restart' : 'Shutdown'} of ${name} started.`); });
  if (ctx.can('cHost_Restart')) tools.push(h('button', { type: 'button', class: 'btn btn-outline-warning', onclick: () => power(true) }, 'Restart'));
  if (ctx.can('cHost_Shutdown')) tools.push(h('button', { type: 'button', class: 'btn btn-outline-danger', onclick: () => power(false) }, 'Shut down'));
  main.append(h('nav', { 'aria-label': 'breadcrumb' }, h('ol', { class: 'breadcrumb small mb-1' },
    h('li', { class: 'breadcrumb-item' }, h('a', { href: '#/servers' }, 'Servers')),
    h('li', { class: 'breadcrumb-item active', 'aria-current': 'page' }, 'Information'))), pageHeader(name, ...tools));
  const area = h('div');
  main.append(area);
  await loadInto(area, () => get(`/api/server/info/${id}`), (i) => {
    if (i.osName === undefined && i.name === undefined) { area.append(h('p', { class: 'text-secondary' }, 'No information: the server is not loaded.')); return; }
    const kb = (v) => (v === null || v === undefined ? null : fmtBytes(Number(v) * 1024));
    const disks = Array.isArray(i.disks) ? i.disks : [];
    const nics = Array.isArray(i.nics) ? i.nics : [];
    area.append(h('div', { class: 'row g-3' },
      card('Operating system', dl([['Name', i.osName], ['Version', i.osVersion], ['Build', i.osBuildNumber], ['SKU', i.osSKU],
        ['Installed', i.osInstallDate], ['Free memory', kb(i.freePhysicalMemory)], ['Status', i.osStatus]])),
      card('Processor', dl([['Name', i.cpuName], ['Cores', i.numberOfCores], ['Logical processors', i.numberOfLogicalProcessors]])),
      card('Computer', dl([['Name', i.name], ['Manufacturer', i.manufacturer], ['Model', i.model], ['Processors', i.numberOfProcessors],
        ['Memory', i.totalPhysicalMemory === null || i.totalPhysicalMemory === undefined ? null : fmtBytes(i.totalPhysicalMemory)],
        ['DNS host name', i.dNSHostName], ['Domain', i.domain]])),
      card('Network adapters', nics.length ? h('ul', { class: 'list-unstyled mb-0', id: 'host-nics' }, nics.map((n) => h('li', { class: 'mb-2' },
        h('div', { class: 'fw-medium' }, n.name || ''), h('div', { class: 'small text-secondary' }, [n.mACAddress, n.status].filter(Boolean).join(' · ')))))
        : h('p', { class: 'text-secondary mb-0' }, 'None')),
      h('div', { class: 'col-12' }, h('section', { class: 'card' }, h('div', { class: 'card-body' }, h('h2', { class: 'h6' }, 'Disks'),
        disks.length ? h('div', { class: 'table-responsive' }, h('table', { class: 'table table-sm mb-0', id: 'host-disks' },
          h('thead', null, h('tr', null, ['Drive', 'Volume', 'Size', 'Free', 'Used', 'Status'].map((t) => h('th', { scope: 'col' }, t)))),
          h('tbody', null, disks.map((d) => {
            const size = Number(d.size);
            const free = Number(d.freeSpace);
            const used = size > 0 && Number.isFinite(free) ? Math.round(((size - free) / size) * 100) : null;
            return h('tr', null, h('td', null, d.name || ''), h('td', null, d.volumeName || ''), h('td', { class: 'num' }, fmtBytes(d.size)),
              h('td', { class: 'num' }, fmtBytes(d.freeSpace)), h('td', { class: 'num' }, used === null ? '—' : `${used} %`), h('td', null, d.status || ''));
          })))) : h('p', { class: 'text-secondary mb-0' }, 'None'))))));
  });
}
