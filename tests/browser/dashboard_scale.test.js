// The dashboard at estate scale: 100 simulated hosts of 250 VMs each (plus the demo host) behind
// a real hbr, driven through Debian's Chromium. Checks what the table shows — the first rows,
// the last rows after scrolling, a search, a sort, the host and state filters kept in the
// address — and a bulk start of three VMs of which the role refuses one. No timing is checked
// here; bench/dashboard_scale.sh measures speed.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, mkdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { OUT, GUARD, launchChromium, startHbr } from './harness.js';
import { parseLoose } from '../../app/js/loosejson.js';

// HBR_SCALE_HOSTS makes a smaller estate for working on the test itself; CTest runs the full one.
const HOSTS = Number(process.env.HBR_SCALE_HOSTS) || 100;
const PER_HOST = 250;
const WAIT = 240000; // the pollers of 100 hosts under a sanitizer build take a while

let hbr;
let base;
let tmp;
let context;
let page;
let admin;
let live; // the live data as the administrator gets it once every host has answered
const problems = [];

async function httpLogin(user, password) {
  const r = await fetch(`${base}/login`, {
    method: 'POST', redirect: 'manual', body: `usr=${encodeURIComponent(user)}&pwd=${encodeURIComponent(password)}`,
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
  });
  const cookie = (r.headers.getSetCookie?.() || [r.headers.get('set-cookie')]).filter(Boolean)[0];
  assert.ok(cookie, `login of ${user} failed: ${r.status}`);
  return cookie.split(';')[0];
}

async function api(cookie, method, path, body) {
  const r = await fetch(`${base}${path}`, { method, headers: { Cookie: cookie }, body: body === undefined ? undefined : JSON.stringify(body) });
  const text = await r.text();
  return { status: r.status, text, json: () => parseLoose(text) };
}

async function login(user, password) {
  await page.goto(`${base}/login.html`);
  await page.fill('#usr', user);
  await page.fill('#pwd', password);
  await page.click('button[type=submit]');
  await page.locator('body.app').waitFor();
}

async function logout() {
  await page.click('#user-menu');
  await Promise.all([page.waitForURL(/login\.html/), page.click('#logout')]);
}

// The rows the table has made (those in view and a margin), in order.
function renderedRows() {
  return page.locator('#vm-table tbody tr').evaluateAll((trs) => trs.map((tr) => ({
    id: tr.dataset.vmId,
    name: tr.querySelector('td:first-child a').textContent,
    state: tr.querySelector('.state').textContent,
    host: tr.querySelector('td.col-host').textContent,
  })));
}

// The order the dashboard promises for a text column: the browser's collation of the texts,
// then the name, then the id. Worked out in the page, so the collation is the browser's own.
const orders = new Map();
async function expectedOrder(vms, key, dir = 1) {
  const cacheKey = vms === live.vms ? `${key}/${dir}` : null;
  if (cacheKey && orders.has(cacheKey)) return orders.get(cacheKey);
  const slim = vms.map((v) => [v.id, v.name || '', v[key] || '']);
  const order = await page.evaluate(([list, d]) => {
    const c = new Intl.Collator(undefined, { sensitivity: 'base', numeric: false });
    return list.sort((a, b) => (c.compare(a[2], b[2]) * d) || c.compare(a[1], b[1]) || (a[0] < b[0] ? -1 : 1)).map((v) => v[0]);
  }, [slim, dir]);
  if (cacheKey) orders.set(cacheKey, order);
  return order;
}

before(async () => {
  tmp = mkdtempSync(join(tmpdir(), 'hbr-scale-'));
  mkdirSync(OUT, { recursive: true });
  hbr = await startHbr(tmp);
  base = hbr.base;
  admin = await httpLogin('administrator', 'bravo');
  for (let i = 1; i <= HOSTS; i++) {
    const r = await api(admin, 'POST', '/api/server/0',
      { id: 0, name: `scale-${i}`, host: `sim://scale${i}?vms=${PER_HOST}&seed=${i}`, user: '', password: '', disabled: false });
    assert.equal(r.status, 201, r.text);
  }
  const end = Date.now() + WAIT;
  for (;;) {
    const data = JSON.parse((await api(admin, 'GET', '/api/livedata')).text);
    if (data.vms.length >= HOSTS * PER_HOST && data.servers.every((s) => s.status === 'OK')) { live = data; break; }
    assert.ok(Date.now() < end, `only ${data.vms.length} VMs after ${WAIT} ms`);
    await new Promise((ok) => setTimeout(ok, 500));
  }
  context = await launchChromium(join(tmp, 'profile'), { width: 1280, height: 900 });
  context.setDefaultTimeout(GUARD);
  page = context.pages()[0] || await context.newPage();
  page.on('pageerror', (e) => problems.push(`page error: ${e}`));
  page.on('console', (m) => { if (m.type() === 'error') problems.push(`console: ${m.text()}`); });
  page.on('response', (r) => { if (r.status() >= 400) problems.push(`${r.status()} ${r.url()}`); });
});

after(async () => {
  await context?.close().catch(() => {});
  await hbr?.stop();
  if (tmp) rmSync(tmp, { recursive: true, force: true });
});

test('the table lists every VM and shows the first rows in name order', async () => {
  await login('administrator', 'bravo');
  const total = live.vms.length;
  assert.ok(total >= HOSTS * PER_HOST);
  await page.locator('#vm-count', { hasText: `(${total})` }).waitFor();
  assert.equal(await page.locator('#vms-title').textContent(), `Virtual machines (${total})`);
  const order = await expectedOrder(live.vms, 'name');
  const rows = await renderedRows();
  // Only a window of the list exists in the page, and it starts at the top.
  assert.ok(rows.length >= 10 && rows.length < 200, `${rows.length} rows made`);
  assert.deepEqual(rows.map((r) => r.id), order.slice(0, rows.length));
  // The icon is found: no request of the page failed, and nothing went wrong in it.
  assert.equal((await fetch(`${base}/favicon.ico`, { headers: { Cookie: admin } })).status, 200);
  assert.deepEqual(problems, []);
  await page.screenshot({ path: join(OUT, 'dashboard-25k.png') });
});

test('scrolled to the end, the table shows the last VMs', async () => {
  const order = await expectedOrder(live.vms, 'name');
  await page.locator('#vm-scroll').evaluate((el) => { el.scrollTop = el.scrollHeight; });
  const lastId = order[order.length - 1];
  await page.locator(`#vm-table tbody tr[data-vm-id="${lastId}"]`).waitFor();
  const rows = await renderedRows();
  assert.deepEqual(rows.map((r) => r.id), order.slice(order.length - rows.length));
  // The last row is really in view, below the sticky header.
  const visible = await page.locator(`#vm-table tbody tr[data-vm-id="${lastId}"]`).evaluate((tr) => {
    const box = tr.getBoundingClientRect();
    const view = document.querySelector('#vm-scroll').getBoundingClientRect();
    return box.bottom <= view.bottom + 1 && box.top >= view.top;
  });
  assert.ok(visible);
  await page.locator('#vm-scroll').evaluate((el) => { el.scrollTop = 0; });
});

test('a search finds a VM among them all', async () => {
  const target = live.vms.find((v) => v.name === 'MONITORING-17' && v.host);
  assert.ok(target);
  const same = live.vms.filter((v) => v.name.toLowerCase().includes('monitoring-17'));
  await page.fill('#vm-search', 'monitoring-17');
  await page.locator('#vm-count', { hasText: `(${same.length} of ${live.vms.length})` }).waitFor();
  // One such VM on every host: the window shows the first of them in name order.
  assert.equal(same.length, HOSTS);
  const expected = await expectedOrder(same, 'name');
  const rows = await renderedRows();
  assert.ok(rows.length > 0);
  assert.deepEqual(rows.map((r) => r.id), expected.slice(0, rows.length));
  for (const r of rows) assert.equal(r.name, 'MONITORING-17');
  assert.match(page.url(), /[#/?&]q=monitoring-17/);
  // Narrowed by the host's name as well, the search finds exactly one.
  const onHost = live.vms.filter((v) => v.host.toLowerCase().includes(target.host.toLowerCase()));
  assert.ok(onHost.length >= PER_HOST);
  await page.fill('#vm-search', target.host);
  await page.locator('#vm-count', { hasText: `(${onHost.length} of ${live.vms.length})` }).waitFor();
  await page.fill('#vm-search', 'MONITORING-17');
  await page.selectOption('#vm-host', target.host);
  await page.locator('#vm-count', { hasText: `(1 of ${live.vms.length})` }).waitFor();
  assert.deepEqual((await renderedRows()).map((r) => r.id), [target.id]);
  await page.selectOption('#vm-host', '');
  await page.fill('#vm-search', '');
  await page.locator('#vm-count', { hasText: `(${live.vms.length})` }).waitFor();
});

test('sorting by name descending and by host reorders the whole list', async () => {
  await page.click('#vm-table thead th:first-child button');
  await page.waitForFunction(() => document.querySelector('#vm-table thead th').getAttribute('aria-sort') === 'descending');
  const desc = await expectedOrder(live.vms, 'name', -1);
  let rows = await renderedRows();
  assert.deepEqual(rows.map((r) => r.id), desc.slice(0, rows.length));
  assert.match(page.url(), /dir=desc/);

  await page.click('#vm-table thead th.col-host button');
  await page.waitForFunction(() => document.querySelector('#vm-table thead th.col-host').getAttribute('aria-sort') === 'ascending');
  const byHost = await expectedOrder(live.vms, 'host');
  rows = await renderedRows();
  assert.deepEqual(rows.map((r) => r.id), byHost.slice(0, rows.length));
  await page.locator('#vm-scroll').evaluate((el) => { el.scrollTop = el.scrollHeight / 2; });
  const middle = byHost[Math.floor(byHost.length / 2)];
  await page.locator(`#vm-table tbody tr[data-vm-id="${middle}"]`).waitFor();
  rows = await renderedRows();
  const at = byHost.indexOf(rows[0].id);
  assert.deepEqual(rows.map((r) => r.id), byHost.slice(at, at + rows.length));
});

// A numeric column: the memory shown in each row, read back from its text ("—" is none, which
// sorts as -1), follows the header's direction where the VMs have none (in name order, then id,
// among themselves) and in the middle of those that have some. The figures move with every refresh,
// so the rows are checked against their own texts, not against an earlier reply.
test('sorting by memory orders the rows by their memory both ways', async () => {
  const mb = (text) => (text === '—' ? -1 : text.endsWith(' GB') ? Number(text.slice(0, -3)) * 1024 : Number(text.slice(0, -3)));
  const memoryRows = () => page.locator('#vm-table tbody tr').evaluateAll((trs) => trs.map((tr) => ({
    id: tr.dataset.vmId, memory: tr.querySelector('td.col-memory').textContent,
  })));
  const names = new Map(live.vms.map((v) => [v.id, v.name]));
  const checkOrder = async (rows, dir, where) => {
    assert.ok(rows.length >= 10, `${rows.length} rows ${where}`);
    const pairs = [];
    for (let i = 1; i < rows.length; i++) {
      const step = (mb(rows[i].memory) - mb(rows[i - 1].memory)) * dir;
      assert.ok(step >= 0, `${where}: ${rows[i - 1].memory} before ${rows[i].memory}`);
      if (rows[i].memory === '—' && rows[i - 1].memory === '—') pairs.push([rows[i - 1].id, rows[i].id]);
    }
    // Name, then id (every host has VMs of the same names). Compared in the page, so the
    // collation is the browser's own.
    const bad = await page.evaluate(([list, byId]) => {
      const c = new Intl.Collator(undefined, { sensitivity: 'base', numeric: false });
      return list.filter(([a, b]) => (c.compare(byId[a], byId[b]) || (a < b ? -1 : 1)) > 0);
    }, [pairs, Object.fromEntries(pairs.flat().map((id) => [id, names.get(id)]))]);
    assert.deepEqual(bad, [], `${where}: VMs without memory out of name order`);
  };
  // Running VMs have a figure, the others none: which part of the list holds the figures.
  const withMemory = live.vms.filter((v) => typeof v.memoryA === 'number').length;
  assert.ok(withMemory > 200 && withMemory < live.vms.length - 200, `${withMemory} VMs with memory`);
  const scrollTo = async (at) => {
    const before = (await memoryRows())[0].id;
    await page.locator('#vm-scroll').evaluate((el, f) => { el.scrollTop = el.scrollHeight * f; }, at / live.vms.length);
    await page.waitForFunction((id) => document.querySelector('#vm-table tbody tr').dataset.vmId !== id, before);
  };
  const button = page.locator('#vm-table thead th.col-memory button');
  for (const [dir, sort] of [[1, 'ascending'], [-1, 'descending']]) {
    while (await page.locator('#vm-table thead th.col-memory').getAttribute('aria-sort') !== sort) await button.click();
    const top = await memoryRows();
    await checkOrder(top, dir, `${sort}, top`);
    assert.equal(top[0].memory === '—', dir > 0, `${sort}: the first row ${top[0].memory}`);
    // The middle of the VMs with a figure: ascending they come last, descending first.
    await scrollTo(dir > 0 ? live.vms.length - withMemory / 2 : withMemory / 2);
    const middle = await memoryRows();
    await checkOrder(middle, dir, `${sort}, middle`);
    assert.ok(middle.every((r) => r.memory !== '—'), `${sort}: the middle rows are VMs with a figure`);
    await page.locator('#vm-scroll').evaluate((el) => { el.scrollTop = 0; });
  }
  assert.deepEqual(problems, []);
});

test('filters by host and state narrow the list and survive a reload from the address', async () => {
  await page.goto(`${base}/start.html#/`);
  await page.locator('#vm-count', { hasText: `(${live.vms.length})` }).waitFor();
  const host = live.vms.find((v) => v.name === 'DC01-3').host;
  await page.selectOption('#vm-host', host);
  const onHost = live.vms.filter((v) => v.host === host);
  await page.locator('#vm-count', { hasText: `(${onHost.length} of ${live.vms.length})` }).waitFor();
  for (const r of await renderedRows()) assert.equal(r.host, host);

  await page.selectOption('#vm-state', 'off');
  await page.waitForFunction(() => /of/.test(document.querySelector('#vm-count').textContent)
    && [...document.querySelectorAll('#vm-table tbody .state')].every((s) => s.textContent === 'Off'));
  const rows = await renderedRows();
  assert.ok(rows.length > 0);
  for (const r of rows) { assert.equal(r.host, host); assert.equal(r.state, 'Off'); }
  const url = page.url();
  assert.match(url, /state=off/);
  assert.match(url, new RegExp(`host=${encodeURIComponent(host).replace(/%20/g, '\\+')}`));

  // The address alone brings the same view back.
  await page.goto('about:blank');
  await page.goto(url);
  await page.locator('#vm-table tbody tr').first().waitFor();
  assert.equal(await page.inputValue('#vm-host'), host);
  assert.equal(await page.inputValue('#vm-state'), 'off');
  for (const r of await renderedRows()) { assert.equal(r.host, host); assert.equal(r.state, 'Off'); }
  await page.goto(`${base}/start.html#/`);
  await logout();
});

test('a bulk start of three VMs reports the one the role refuses, and each is audited', async () => {
  // The administrator's API session of the set-up may have ended while the tests above worked
  // in the page for more than the idle minute (a sanitizer build on a busy machine): a new one.
  admin = await httpLogin('administrator', 'bravo');
  // Three VMs that are off, on three hosts; the role first holds all three.
  const off = live.vms.filter((v) => v.state === '99999' || v.state === '3');
  const three = [off[0], off[Math.floor(off.length / 2)], off[off.length - 1]];
  const vmsOf = (list) => list.map((v) => ({ id: v.id, name: v.name }));
  let r = await api(admin, 'POST', '/api/role/0', { id: 0, name: 'Three VMs', claims: { cDBoard_View: true, cVms_View: true, cVm_Start: true }, vms: vmsOf(three) });
  assert.equal(r.status, 201, r.text);
  const roles = (await api(admin, 'GET', '/api/roles')).json();
  const role = (Array.isArray(roles) ? roles : roles.data).find((x) => x.name === 'Three VMs');
  r = await api(admin, 'POST', '/api/user/0', { id: 0, name: 'trio', pwd: 'Trio-pass1', roleId: role.id });
  assert.equal(r.status, 201, r.text);

  await login('trio', 'Trio-pass1');
  await page.locator('#vm-count', { hasText: '(3)' }).waitFor();
  await page.check('.vm-select-all');
  await page.locator('#vm-bulk-count', { hasText: '3 selected' }).waitFor();

  // The administrator takes the third VM out of the role while the page still lists it; the
  // page's next refreshes are held back, as a slow network would, so the page acts on all three.
  await page.route('**/api/livedata', (route) => route.fulfill({ status: 304 }));
  r = await api(admin, 'POST', `/api/role/${role.id}`, { id: role.id, name: 'Three VMs', claims: { cDBoard_View: true, cVms_View: true, cVm_Start: true }, vms: vmsOf(three.slice(0, 2)) });
  assert.equal(r.status, 201, r.text);

  await page.click('#vm-bulk [data-bulk=start]');
  const summary = page.locator('#bulk-summary');
  await summary.waitFor();
  assert.match(await summary.locator('.fw-medium').first().textContent(), /^Start: 2 done, 1 refused\.$/);
  const refused = await summary.locator('.bulk-vm').evaluateAll((els) => els.map((e) => e.dataset.vmId));
  assert.deepEqual(refused, [three[2].id]);
  await page.screenshot({ path: join(OUT, 'dashboard-bulk.png') });
  await page.unroute('**/api/livedata');

  // The server checked each VM on its own: two starts allowed, one refused, each with its VM.
  const filter = encodeURIComponent(JSON.stringify([{ property: 'username', value: 'trio' }]));
  const audit = (await api(admin, 'GET', `/api/auditlog?start=0&limit=50&filter=${filter}`)).json();
  const starts = audit.data.filter((row) => row.claim === 13);
  assert.equal(starts.length, 3);
  assert.deepEqual(starts.filter((row) => row.result === 0).map((row) => row.resource).sort(), three.slice(0, 2).map((v) => v.name).sort());
  assert.deepEqual(starts.filter((row) => row.result === 1).map((row) => row.resource), [three[2].name]);
  // And the two allowed VMs run.
  const end = Date.now() + GUARD;
  for (;;) {
    const now = JSON.parse((await api(admin, 'GET', '/api/livedata')).text);
    const states = three.map((v) => now.vms.find((x) => x.id === v.id).state);
    if (states[0] === '2' && states[1] === '2') { assert.notEqual(states[2], '2'); break; }
    assert.ok(Date.now() < end, `states ${states}`);
    await new Promise((ok) => setTimeout(ok, 300));
  }
});
