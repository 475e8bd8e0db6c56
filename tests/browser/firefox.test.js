// The browser application in Debian's Firefox ESR, driven through WebDriver BiDi with
// puppeteer-core, against a real `hbr run-exe -demo`. The steps build on each other (the VM
// started in one is opened in the next), so they run in order in one browser. Every page is
// also checked at 1280 × 800 and at 390 pixels wide for horizontal overflow, and any error the
// page reports fails the step it happened in.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, mkdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';
import { OUT, GUARD, FIREFOX, OFFLINE_PREFS, startHbr } from './harness.js';

const DESKTOP = { width: 1280, height: 800 };
const PHONE = { width: 390, height: 844 };

let hbr;
let base;
let tmp;
let browser;
let page;
const pageErrors = [];
const shared = {};

const esc = (s) => s.replace(/\\/g, '\\\\').replace(/"/g, '\\"');
const waitFor = (sel) => page.waitForSelector(sel, { visible: true });
const waitUntil = (fn, ...args) => page.waitForFunction(fn, {}, ...args);
const click = (sel) => page.locator(sel).click();
const textOf = (sel) => page.$eval(sel, (e) => e.textContent);
const textsOf = (sel) => page.$$eval(sel, (els) => els.map((e) => e.textContent));
const focusedId = () => page.evaluate(() => document.activeElement?.id || '');

// Each step ends by checking that the page reported nothing since the previous one.
function noPageErrors() {
  const seen = pageErrors.splice(0);
  assert.deepEqual(seen, []);
}

// Measures horizontal overflow at a width, then takes the screenshot there.
async function shot(name, size = DESKTOP) {
  await page.setViewport(size);
  const m = await page.evaluate(() => ({
    doc: document.documentElement.scrollWidth, body: document.body.scrollWidth, view: document.documentElement.clientWidth,
    wide: [...document.querySelectorAll('body *')].filter((e) => e.getBoundingClientRect().right > document.documentElement.clientWidth + 1
      && !e.closest('.table-responsive, .visually-hidden, .visually-hidden-focusable, .modal:not(.show), .dropdown-menu:not(.show)')
      && e.getClientRects().length > 0).slice(0, 5).map((e) => `${e.tagName.toLowerCase()}#${e.id}.${e.className}`),
    // A table may scroll sideways inside its own box, but the buttons of its rows must not
    // need that to be reached.
    hiddenButtons: [...document.querySelectorAll('tbody button, tbody a.btn')].filter((b) => b.getClientRects().length > 0
      && b.getBoundingClientRect().right > (b.closest('.table-responsive') || document.documentElement).getBoundingClientRect().right + 1)
      .slice(0, 5).map((b) => b.getAttribute('aria-label') || b.textContent),
  }));
  await page.screenshot({ path: join(OUT, `firefox-${name}.png`), fullPage: size.width < 600 });
  await page.setViewport(DESKTOP);
  assert.ok(m.doc <= m.view && m.body <= m.view,
    `${name} at ${size.width} px is ${Math.max(m.doc, m.body)} px wide; sticking out: ${m.wide.join(', ')}`);
  assert.deepEqual(m.hiddenButtons, [], `${name} at ${size.width} px hides row buttons past the edge`);
}

async function shots(name) {
  await shot(name);
  await shot(`${name}-phone`, PHONE);
}

async function login(user, password) {
  await page.goto(`${base}/login.html`);
  await page.locator('#usr').fill(user);
  await page.locator('#pwd').fill(password);
  await click('button[type=submit]');
  // The page is fresh, so its error notice is hidden: either it appears (refused) or the
  // application's page replaces it (signed in).
  await waitFor('#login-error:not([hidden]), body.app');
}

async function logout() {
  await click('#user-menu');
  await Promise.all([page.waitForNavigation(), click('#logout')]);
  await waitFor('#login-form');
}

// Presses Tab until `predicate` holds for the focused element; a page with more stops than
// `limit` fails rather than looping.
async function tabTo(predicate, arg, limit = 60) {
  for (let i = 0; i < limit; i++) {
    await page.keyboard.press('Tab');
    if (await page.evaluate(predicate, arg)) return;
  }
  assert.fail(`no focus stop matched within ${limit} Tab presses`);
}

function apiFromPage(method, path, body) {
  return page.evaluate(async (m, p, b) => {
    const r = await fetch(p, { method: m, body: b === null ? undefined : JSON.stringify(b) });
    return { status: r.status, text: await r.text() };
  }, method, path, body ?? null);
}

const rowOf = (id) => `#vm-table tbody tr[data-vm-id="${esc(id)}"]`;

before(async () => {
  tmp = mkdtempSync(join(tmpdir(), 'hbr-firefox-'));
  mkdirSync(OUT, { recursive: true });
  hbr = await startHbr(tmp);
  base = hbr.base;
  mkdirSync(join(tmp, 'home'));
  browser = await puppeteer.launch({
    browser: 'firefox',
    executablePath: FIREFOX,
    headless: true,
    userDataDir: join(tmp, 'profile'),
    extraPrefsFirefox: OFFLINE_PREFS,
    defaultViewport: DESKTOP,
    // Firefox keeps caches and crash reports under HOME; the test's own folder keeps the
    // machine's untouched.
    env: { ...process.env, HOME: join(tmp, 'home') },
    timeout: GUARD,
    protocolTimeout: GUARD * 2,
  });
  [page] = await browser.pages();
  page ??= await browser.newPage();
  // The first tab does not take the launch's default size.
  await page.setViewport(DESKTOP);
  page.setDefaultTimeout(GUARD);
  page.on('pageerror', (e) => pageErrors.push(`uncaught: ${e?.message || e}`));
  page.on('console', (m) => { if (m.type() === 'error') pageErrors.push(`console: ${m.text()}`); });
});

after(async () => {
  await browser?.close().catch(() => {});
  await hbr?.stop();
  if (tmp) rmSync(tmp, { recursive: true, force: true });
});

test('a wrong password is reported on the login page', async () => {
  assert.match(await browser.version(), /^firefox\//);
  await login('administrator', 'not-the-password');
  assert.match(page.url(), /login\.html/);
  assert.equal(await page.$eval('#usr', (e) => e.value), 'administrator');
  // Coming back refused puts the cursor in the password field for the next try.
  assert.equal(await focusedId(), 'pwd');
  // The server adds the default-password hint while the built-in password is unchanged.
  await waitUntil(() => document.body.textContent.includes('Default user: administrator, password: bravo'));
  await shots('login');
  noPageErrors();
});

test('signing in works with the keyboard alone and shows the servers and the simulated VMs', async () => {
  await page.goto(`${base}/login.html`);
  await waitFor('#login-form');
  // Focus starts in the user name field.
  assert.equal(await focusedId(), 'usr');
  await page.keyboard.type('administrator');
  await page.keyboard.press('Tab');
  assert.equal(await focusedId(), 'pwd');
  await page.keyboard.type('bravo');
  await page.keyboard.press('Enter');
  await waitFor('body.app');
  assert.match(page.url(), /start\.html/);

  await waitFor('#vm-table tbody tr:nth-child(10)');
  const names = await textsOf('#vm-table tbody tr td:first-child a');
  assert.ok(names.length >= 10, `only ${names.length} VMs`);
  shared.vmNames = names;
  await waitUntil(() => [...document.querySelectorAll('.server-card .badge')].some((b) => b.textContent === 'OK'));
  // Live figures arrive with the server's first poll.
  await waitUntil(() => [...document.querySelectorAll('.server-card .figure-value')].some((e) => /%/.test(e.textContent)));
  assert.notEqual(await textOf('.server-card .figure-value'), '—');
  assert.match(await textOf('#version'), /^\d+\.\d+\.\d+$/);
  for (const s of await textsOf('#vm-table tbody .state')) {
    assert.match(s, /^(Running|Off|Saved|Paused|Working…|Starting|Stopping|Saving|Pausing|Resuming|Shutting down)$/);
  }
  const nav = await textsOf('#nav-links a');
  assert.deepEqual(nav, ['Dashboard', 'Servers', 'Users', 'Roles', 'Audit log', 'System log']);
  await shots('dashboard');
  noPageErrors();
});

test('search narrows the VM list and sorting reorders it', async () => {
  const lower = (a) => a.map((s) => s.toLowerCase());
  const byName = (a, dir) => [...a].sort((x, y) => dir * x.toLowerCase().localeCompare(y.toLowerCase()));
  assert.deepEqual(lower(shared.vmNames), lower(byName(shared.vmNames, 1)));
  const first = shared.vmNames[0];
  await page.locator('#vm-search').fill(first);
  await waitUntil((n, all) => {
    const rows = [...document.querySelectorAll('#vm-table tbody tr')];
    return rows.length >= 1 && rows.length < all && rows.every((r) => r.querySelector('td a').textContent.toLowerCase().includes(n.toLowerCase()));
  }, first, shared.vmNames.length);
  assert.match(await textOf('#vms-title'), /of \d+\)/);
  await page.locator('#vm-search').fill('no VM is called like this');
  await waitUntil(() => document.querySelector('#vm-table').hidden && document.body.textContent.includes('No virtual machine matches the search.'));
  await page.locator('#vm-search').fill('');
  await waitFor('#vm-table tbody tr:nth-child(10)');

  await click('#vm-table thead th:first-child button');
  await waitUntil(() => document.querySelector('#vm-table thead th').getAttribute('aria-sort') === 'descending');
  const desc = await textsOf('#vm-table tbody tr td:first-child a');
  assert.deepEqual(lower(desc), lower(byName(desc, -1)));
  // Sorting by state groups equal states together.
  await click('#vm-table thead th:nth-child(2) button');
  await waitUntil(() => document.querySelector('#vm-table thead th:nth-child(2)').getAttribute('aria-sort') === 'ascending');
  const states = await textsOf('#vm-table tbody .state');
  assert.deepEqual(states, [...states].sort());
  await click('#vm-table thead th:first-child button');
  await waitUntil(() => document.querySelector('#vm-table thead th').getAttribute('aria-sort') === 'ascending');
  noPageErrors();
});

test('the keyboard reaches the search field and opens a VM from the list', async () => {
  // A new page puts the focus on its content, not on the navigation.
  await page.goto(`${base}/start.html`);
  await waitFor('#vm-table tbody tr:nth-child(10)');
  await waitUntil(() => document.activeElement?.id === 'main');
  await tabTo(() => document.activeElement?.id === 'vm-search');
  const target = shared.vmNames[shared.vmNames.length - 1];
  await page.keyboard.type(target);
  await waitUntil((n) => [...document.querySelectorAll('#vm-table tbody tr td:first-child a')].every((a) => a.textContent.toLowerCase().includes(n.toLowerCase())), target);
  await tabTo((n) => document.activeElement?.matches('#vm-table td:first-child a') && document.activeElement.textContent === n, target);
  await page.keyboard.press('Enter');
  await waitUntil(() => /^#\/vm\//.test(location.hash));
  await waitUntil((n) => document.querySelector('h1')?.textContent.includes(n), target);
  // The tabs follow with Tab and open with Enter.
  await tabTo(() => document.activeElement?.id === 'tab-networking');
  await page.keyboard.press('Enter');
  await waitUntil(() => location.hash.endsWith('/networking') && document.querySelector('#tab-networking.active'));
  noPageErrors();
});

test('starting a VM from the dashboard changes its state to Running', async () => {
  await page.goto(`${base}/start.html`);
  await waitFor('#vm-table tbody tr:nth-child(10)');
  const off = await page.evaluate(() => {
    const tr = [...document.querySelectorAll('#vm-table tbody tr')].find((r) => r.querySelector('.state').textContent === 'Off');
    return tr && { id: tr.dataset.vmId, name: tr.querySelector('td a').textContent };
  });
  assert.ok(off, 'the simulated host has a VM that is off');
  shared.vm = off;
  const row = rowOf(off.id);
  // Connecting is offered only to a running VM.
  assert.equal(await page.$eval(`${row} a[href^="/rdp/"]`, (a) => a.getAttribute('aria-disabled')), 'true');
  await click(`${row} button[aria-label="Actions for ${esc(off.name)}"]`);
  await waitFor(`${row} .dropdown-menu.show`);
  // Only the actions that fit an VM that is off are enabled.
  const enabled = await page.$$eval(`${row} .dropdown-menu [data-action]:not([disabled])`, (els) => els.map((e) => e.dataset.action));
  assert.deepEqual(enabled, ['start']);
  await click(`${row} [data-action=start]`);
  await waitUntil((n) => [...document.querySelectorAll('.toast')].some((t) => t.textContent.includes(`Start: ${n} — done.`)), off.name);
  await waitUntil((sel) => document.querySelector(`${sel} .state`)?.textContent === 'Running', row);
  await waitUntil((sel) => document.querySelector(`${sel} a[href^="/rdp/"]`)?.getAttribute('aria-disabled') === null, row);
  // The notice goes away by itself (Bootstrap's timer and fade run to their end).
  await waitUntil(() => !document.querySelector('.toast'));
  noPageErrors();
});

test('the VM page shows its tabs, and a checkpoint is created and deleted', async () => {
  await click(`${rowOf(shared.vm.id)} td:first-child a`);
  await waitUntil(() => /^#\/vm\//.test(location.hash));
  await waitUntil((n) => document.querySelector('h1')?.textContent.includes(n), shared.vm.name);
  await waitFor('#vm-tab-panel dl.props');
  const general = await page.$$eval('#vm-tab-panel dl.props dt', (d) => d.map((e) => e.textContent));
  assert.deepEqual(general, ['Name', 'Guest operating system', 'Heartbeat', 'Integration services', 'Version', 'Created', 'Id']);
  assert.equal(await page.$eval('#vm-tab-panel dl.props dd', (e) => e.textContent), shared.vm.name);
  await waitUntil(() => document.querySelector('h1 .state')?.textContent === 'Running');
  await shots('vm-general');

  await click('#tab-networking');
  await waitUntil(() => location.hash.endsWith('/networking'));
  await waitFor('#vm-tab-panel .card dl.props, #vm-tab-panel p.text-secondary');
  await shots('vm-networking');

  await click('#tab-replication');
  await waitUntil(() => location.hash.endsWith('/replication'));
  await waitFor('#vm-tab-panel dl.props');
  const repl = await page.$$eval('#vm-tab-panel dl.props dt', (d) => d.map((e) => e.textContent));
  assert.deepEqual(repl, ['Mode', 'State', 'Health', 'Primary server', 'Replica server']);

  await click('#tab-checkpoints');
  await waitFor('#cp-create');
  await waitFor('#cp-area .cp-tree, #cp-empty');
  const ids = () => page.$$eval('#cp-area .cp-node:not(.cp-now)', (n) => n.map((e) => e.dataset.cpId));
  const before = await ids();
  await click('#cp-create');
  await waitUntil((n) => document.querySelectorAll('#cp-area .cp-node:not(.cp-now)').length === n + 1, before.length);
  await waitFor('#cp-area .cp-now');
  const made = (await ids()).find((id) => !before.includes(id));
  assert.ok(made);
  const node = `#cp-area .cp-node[data-cp-id="${esc(made)}"]`;
  await shots('vm-checkpoints');
  await click(`${node} .btn-outline-danger:not([aria-label$=" and its subtree"])`);
  await waitFor('.modal.show');
  assert.match(await textOf('.modal.show .modal-body'), /^Delete the checkpoint “.+”\? Its children are kept\.$/);
  await click('.modal.show button[type=submit]');
  await waitUntil((sel) => !document.querySelector(sel) && !document.querySelector('.modal'), node);
  assert.deepEqual((await ids()).sort(), [...before].sort());
  noPageErrors();
});

test('the role editor creates a role and the users page gives it to a new user', async () => {
  await page.goto(`${base}/start.html#/roles`);
  await waitFor('#role-table, .card p.text-secondary');
  await shots('roles');
  await click('#role-add');
  await waitFor('#role-form');
  await page.locator('#role-name').fill('Firefox operators');
  // The group's "all" box sets every claim of its group.
  const group = await page.$eval('#claim-cVm_Start', (e) => e.closest('fieldset').querySelector('legend input').id);
  await click(`#${group}`);
  const inGroup = await page.$eval('#claim-cVm_Start', (e) => [...e.closest('fieldset').querySelectorAll('[data-claim]')].map((b) => b.checked));
  assert.ok(inGroup.length > 1 && inGroup.every(Boolean), JSON.stringify(inGroup));
  for (const c of ['cDBoard_View', 'cVms_View']) await click(`#claim-${c}`);
  await click('#vm-limit-some');
  await waitFor('#vm-picker');
  await page.locator(`#vm-${shared.vm.id}`).click();
  await shots('role-editor');
  await click('#role-form button[type=submit]');
  await waitUntil(() => location.hash === '#/roles');
  await waitUntil(() => [...document.querySelectorAll('#role-table tr')].some((r) => r.textContent.includes('Firefox operators')));
  const saved = await apiFromPage('GET', '/api/roles');
  assert.equal(saved.status, 200);

  await page.goto(`${base}/start.html#/users`);
  await waitFor('#user-add');
  await click('#user-add');
  await waitFor('.modal.show #user-name');
  await page.locator('#user-name').fill('fox');
  const roleValue = await page.$eval('#user-role', (s) => [...s.options].find((o) => o.textContent === 'Firefox operators')?.value);
  assert.ok(roleValue);
  await page.select('#user-role', roleValue);
  await page.locator('#user-pwd').fill('fox-Secret1');
  await click('.modal.show button[type=submit]');
  await waitUntil(() => !document.querySelector('.modal'));
  await waitUntil(() => [...document.querySelectorAll('#user-table tbody tr')].some((r) => r.cells[0].textContent === 'fox' && r.cells[1].textContent === 'Firefox operators'));
  await shots('users');
  noPageErrors();
});

test('the audit log filters by user and result', async () => {
  await page.goto(`${base}/start.html#/audit`);
  await waitFor('#audit-table, #audit-total');
  await page.locator('#flt-user').fill('administrator');
  await page.select('#flt-result', '1');
  await click('#audit-filters button[type=submit]');
  await waitUntil(() => {
    const rows = [...document.querySelectorAll('#audit-table tbody tr')];
    return rows.length > 0 && rows.every((r) => r.cells[1].textContent === 'administrator' && r.cells[5].textContent === 'Refused');
  });
  const rows = await page.$$eval('#audit-table tbody tr', (trs) => trs.map((tr) => [...tr.cells].map((td) => td.textContent)));
  assert.ok(rows.some((r) => r[2] === 'Login'), JSON.stringify(rows));
  await shots('audit');
  // Clearing the form shows the allowed entries again.
  await click('#audit-filters button[type=reset]');
  await waitUntil(() => [...document.querySelectorAll('#audit-table tbody tr')].some((r) => r.cells[5].textContent === 'Allowed'));
  noPageErrors();
});

test('the system log, the servers and the host information render', async () => {
  await page.goto(`${base}/start.html#/syslog`);
  await waitFor('#syslog-table, .card p.text-secondary');
  await shots('syslog');
  await page.goto(`${base}/start.html#/servers`);
  await waitFor('table tbody tr');
  await shots('servers');
  await click('table tbody tr a[href^="#/server/"]');
  await waitUntil(() => /^#\/server\/\d+$/.test(location.hash));
  await waitFor('dl.props');
  await waitFor('#host-disks, #host-nics');
  const cards = await textsOf('#main section h2');
  assert.deepEqual(cards, ['Operating system', 'Processor', 'Computer', 'Network adapters', 'Disks']);
  await shots('host-info');
  noPageErrors();
});

test('signing out returns to the login page and ends the session', async () => {
  await page.goto(`${base}/start.html`);
  await waitFor('#vm-table tbody tr');
  await logout();
  assert.match(page.url(), /login\.html/);
  const r = await apiFromPage('GET', '/api/user/0');
  assert.equal(r.status, 403);
  noPageErrors();
});
