// End-to-end tests of the browser application: a real `hbr run-exe -demo` with its simulated
// Hyper-V host on a loopback port, driven through Debian's Chromium. The steps build on each
// other (the role made in one is used by the next), so they run in order in one browser.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, mkdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { OUT, GUARD, launchChromium, startHbr } from './harness.js';

let hbr;
let base;
let tmp;
let context;
let page;
const shared = {};

async function shot(name, width = 1280, height = 800) {
  await page.setViewportSize({ width, height });
  await page.waitForLoadState('networkidle').catch(() => {});
  await page.screenshot({ path: join(OUT, `${name}.png`), fullPage: width < 600 });
  await page.setViewportSize({ width: 1280, height: 800 });
}

async function login(user, password) {
  await page.goto(`${base}/login.html`);
  await page.fill('#usr', user);
  await page.fill('#pwd', password);
  await page.click('button[type=submit]');
  // The page is fresh, so its error notice is hidden: either it appears (refused) or the
  // application's page replaces it (signed in).
  await page.locator('#login-error:not([hidden]), body.app').first().waitFor();
}

async function logout() {
  await page.click('#user-menu');
  await Promise.all([page.waitForURL(/login\.html/), page.click('#logout')]);
}

// Runs a request in the page with its session, as the application itself would.
function apiFromPage(method, path, body) {
  return page.evaluate(async ([m, p, b]) => {
    const r = await fetch(p, { method: m, body: b === undefined ? undefined : JSON.stringify(b) });
    return { status: r.status, text: await r.text() };
  }, [method, path, body]);
}

const vmRow = (name) => page.locator('#vm-table tbody tr', { has: page.locator('td:first-child a', { hasText: new RegExp(`^${name.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')}$`) }) });

before(async () => {
  tmp = mkdtempSync(join(tmpdir(), 'hbr-browser-'));
  mkdirSync(OUT, { recursive: true });
  hbr = await startHbr(tmp);
  base = hbr.base;
  context = await launchChromium(join(tmp, 'profile'), { width: 1280, height: 800 });
  context.setDefaultTimeout(GUARD);
  page = context.pages()[0] || await context.newPage();
  page.on('pageerror', (e) => { shared.pageErrors = [...(shared.pageErrors || []), String(e)]; });
  // What the server's Content-Security-Policy refuses shows as console errors.
  shared.refused = [];
  page.on('console', (m) => { if (/Content Security Policy/i.test(m.text())) shared.refused.push(`${page.url()}: ${m.text()}`); });
});

after(async () => {
  await context?.close().catch(() => {});
  await hbr?.stop();
  if (tmp) rmSync(tmp, { recursive: true, force: true });
});

test('a wrong password is reported on the login page', async () => {
  await login('administrator', 'not-the-password');
  assert.match(page.url(), /login\.html/);
  await page.locator('#login-error').waitFor({ state: 'visible' });
  assert.equal(await page.inputValue('#usr'), 'administrator');
  // The server adds the default-password hint while the built-in password is unchanged.
  await page.getByText('Default user: administrator, password: bravo').waitFor();
  await shot('login');
  await shot('login-phone', 390, 844);
});

test('the administrator signs in and sees the servers and the simulated VMs', async () => {
  await login('administrator', 'bravo');
  assert.match(page.url(), /start\.html/);
  await page.locator('#vm-table tbody tr').nth(9).waitFor();
  const names = await page.locator('#vm-table tbody tr td:first-child a').allTextContents();
  assert.ok(names.length >= 10, `only ${names.length} VMs`);
  shared.vmNames = names;
  const card = page.locator('.server-card').first();
  await card.locator('.badge', { hasText: /^OK$/ }).waitFor();
  // Live figures arrive with the server's first poll.
  await page.waitForFunction(() => [...document.querySelectorAll('.server-card .figure-value')].some((e) => /%/.test(e.textContent)));
  assert.doesNotMatch(await card.locator('.figure-value').first().textContent(), /^—$/);
  assert.match(await page.locator('#version').textContent(), /^\d+\.\d+\.\d+$/);
  const states = await page.locator('#vm-table tbody .state').allTextContents();
  for (const s of states) assert.match(s, /^(Running|Off|Saved|Paused|Working…|Starting|Stopping|Saving|Pausing|Resuming|Shutting down)$/);
  await shot('dashboard');
  await shot('dashboard-phone', 390, 844);
});

test('search narrows the VM list and sorting reorders it', async () => {
  const first = shared.vmNames[0];
  await page.fill('#vm-search', first);
  await page.waitForFunction((n) => {
    const rows = [...document.querySelectorAll('#vm-table tbody tr')];
    return rows.length >= 1 && rows.every((r) => r.querySelector('td a').textContent.toLowerCase().includes(n.toLowerCase()));
  }, first);
  await page.fill('#vm-search', '');
  await page.locator('#vm-table tbody tr').nth(9).waitFor();
  await page.click('#vm-table thead th:first-child button');
  const desc = await page.locator('#vm-table tbody tr td:first-child a').allTextContents();
  const sorted = [...desc].sort((a, b) => b.toLowerCase().localeCompare(a.toLowerCase()));
  assert.deepEqual(desc.map((s) => s.toLowerCase()), sorted.map((s) => s.toLowerCase()));
  await page.click('#vm-table thead th:first-child button');
});

test('starting a VM changes its state to Running', async () => {
  const off = page.locator('#vm-table tbody tr', { has: page.locator('.state', { hasText: /^Off$/ }) }).first();
  await off.waitFor();
  const name = await off.locator('td:first-child a').textContent();
  shared.startedVm = name;
  const row = vmRow(name);
  await row.getByRole('button', { name: /^Actions for / }).click();
  await row.locator('[data-action=start]').click();
  await page.locator('.toast', { hasText: `Start: ${name} — done.` }).waitFor();
  await row.locator('.state', { hasText: /^Running$/ }).waitFor();
});

test('a checkpoint is created, renamed and deleted on the VM page', async () => {
  const row = vmRow(shared.startedVm);
  await row.locator('td:first-child a').click();
  await page.waitForURL(/#\/vm\//);
  shared.vmUrl = page.url();
  await page.locator('#vm-tab-panel dl.props').waitFor();
  await shot('vm-general');
  await page.getByRole('tab', { name: 'Checkpoints' }).click();
  await page.locator('#cp-create').waitFor();
  const before = await page.locator('#cp-area .cp-node:not(.cp-now)').count();
  await page.click('#cp-create');
  await page.waitForFunction((n) => document.querySelectorAll('#cp-area .cp-node:not(.cp-now)').length === n + 1, before);
  await page.locator('#cp-area .cp-now').waitFor();
  const node = page.locator('#cp-area .cp-node:not(.cp-now)').last();
  await node.getByRole('button', { name: /^Rename / }).click();
  await page.fill('#cp-new-name', 'Before the update "1"');
  await page.getByRole('button', { name: 'Rename', exact: true }).click();
  const renamed = page.locator('#cp-area .cp-node', { has: page.locator('.cp-name', { hasText: 'Before the update "1"' }) });
  await renamed.waitFor();
  await shot('vm-checkpoints');
  await renamed.getByRole('button', { name: /^Delete .* and its subtree$/ }).waitFor();
  await renamed.getByRole('button', { name: /^Delete Before the update "1"$/ }).click();
  await page.locator('.modal').getByRole('button', { name: 'Delete', exact: true }).click();
  await renamed.waitFor({ state: 'detached' });
  assert.equal(await page.locator('#cp-area .cp-node:not(.cp-now)').count(), before);
  await shot('vm-phone', 390, 844);
});

test('a role limited to two VMs and a user holding it are created', async () => {
  await page.goto(`${base}/start.html#/roles`);
  await page.click('#role-add');
  await page.fill('#role-name', 'Operators of two');
  for (const c of ['cDBoard_View', 'cVms_View', 'cVm_Start', 'cVm_Connect']) await page.check(`#claim-${c}`);
  await page.check('#vm-limit-some');
  const picks = shared.vmNames.filter((n) => n !== shared.startedVm).slice(0, 2);
  shared.allowed = picks;
  for (const n of picks) await page.locator('#vm-picker .form-check', { hasText: n }).first().locator('input').check();
  await shot('role-editor');
  await page.click('#role-form button[type=submit]');
  await page.waitForURL(/#\/roles$/);
  await page.locator('#role-table tr', { hasText: 'Operators of two' }).waitFor();
  await shot('roles');

  await page.goto(`${base}/start.html#/users`);
  await page.click('#user-add');
  await page.fill('#user-name', 'opal');
  await page.selectOption('#user-role', { label: 'Operators of two' });
  await page.fill('#user-pwd', 'first-Secret1');
  await page.getByRole('button', { name: 'Add', exact: true }).click();
  await page.locator('#user-table tr', { hasText: 'opal' }).waitFor();
  assert.match(await page.locator('#user-table tr', { hasText: 'opal' }).textContent(), /Operators of two/);
  await shot('users');
  await logout();
});

test('the limited user sees only the two VMs and only the allowed actions', async () => {
  await login('opal', 'wrong');
  await page.locator('#login-error').waitFor({ state: 'visible' });
  await login('opal', 'first-Secret1');
  assert.match(page.url(), /start\.html/);
  await page.locator('#vm-table tbody tr').nth(1).waitFor();
  const names = (await page.locator('#vm-table tbody tr td:first-child a').allTextContents()).sort();
  assert.deepEqual(names, [...shared.allowed].sort());
  const nav = await page.locator('#nav-links a').allTextContents();
  assert.deepEqual(nav, ['Dashboard']);
  const row = vmRow(shared.allowed[0]);
  await row.getByRole('button', { name: /^Actions for / }).click();
  const actions = await row.locator('.dropdown-menu [data-action]').evaluateAll((els) => els.map((e) => e.dataset.action));
  assert.deepEqual(actions, ['start']);
  await page.keyboard.press('Escape');
  assert.equal(await row.locator('a', { hasText: 'Connect' }).count(), 1);
  await shot('dashboard-limited');
  // The server, not only the page, refuses a VM outside the role.
  const live = JSON.parse((await apiFromPage('GET', '/api/livedata')).text);
  assert.equal(live.vms.length, 2);
  const other = await apiFromPage('POST', '/api/vm/state', { vmId: '00000000-0000-0000-0000-000000000000', state: 2 });
  assert.equal(other.status, 403);
});

test('the limited user changes the password and signs in with the new one', async () => {
  await page.goto(`${base}/start.html#/password`);
  await page.fill('#pwd-old', 'not-it');
  await page.fill('#pwd-new', 'second-Secret2');
  await page.fill('#pwd-again', 'second-Secret2');
  await page.click('#pwd-form button[type=submit]');
  await page.locator('#pwd-message.alert-danger', { hasText: 'Password is invalid' }).waitFor();
  await page.fill('#pwd-old', 'first-Secret1');
  await page.click('#pwd-form button[type=submit]');
  await page.locator('#pwd-message.alert-success').waitFor();
  await shot('password');
  await logout();
  await login('opal', 'first-Secret1');
  assert.match(page.url(), /login\.html/);
  await login('opal', 'second-Secret2');
  assert.match(page.url(), /start\.html/);
  await page.locator('#vm-table tbody tr').nth(1).waitFor();
  await logout();
});

test('the audit log shows the logins and refusals of that user', async () => {
  await login('administrator', 'bravo');
  await page.goto(`${base}/start.html#/audit`);
  await page.locator('#audit-table, #audit-total').first().waitFor();
  await page.fill('#flt-user', 'opal');
  await page.click('#audit-filters button[type=submit]');
  await page.waitForFunction(() => {
    const users = [...document.querySelectorAll('#audit-table tbody tr td:nth-child(2)')].map((t) => t.textContent);
    return users.length > 0 && users.every((u) => u === 'opal');
  });
  const rows = await page.locator('#audit-table tbody tr').evaluateAll((trs) => trs.map((tr) => [...tr.children].map((td) => td.textContent)));
  const has = (action, result) => rows.some((r) => r[2] === action && r[5] === result);
  assert.ok(has('Login', 'Allowed'), JSON.stringify(rows));
  assert.ok(has('Login', 'Refused'), JSON.stringify(rows));
  assert.ok(has('Start VM', 'Refused'), JSON.stringify(rows));
  assert.ok(has('Logout', 'Allowed'), JSON.stringify(rows));
  await page.selectOption('#flt-result', '1');
  await page.click('#audit-filters button[type=submit]');
  await page.waitForFunction(() => {
    const res = [...document.querySelectorAll('#audit-table tbody tr td:nth-child(6)')].map((t) => t.textContent);
    return res.length > 0 && res.every((r) => r === 'Refused');
  });
  await shot('audit');
});

test('the other pages render', async () => {
  await page.goto(`${base}/start.html#/servers`);
  await page.locator('table tbody tr').first().waitFor();
  await shot('servers');
  await page.locator('table tbody tr').first().getByRole('link', { name: 'Information' }).click();
  await page.locator('dl.props').first().waitFor();
  await page.locator('#host-disks, #host-nics').first().waitFor();
  await shot('host-info');
  await page.goto(`${base}/start.html#/syslog`);
  await page.locator('#syslog-table, .card p.text-secondary').first().waitFor();
  await shot('syslog');
  assert.deepEqual(shared.pageErrors || [], []);
});

test('a dialog submitted while it is still opening closes and hands back its result', async () => {
  // Enter pressed at once, or a reply faster than the opening animation: the dialog must still
  // close and its caller go on (it once stayed open and the list behind it never reloaded).
  await page.goto(`${base}/start.html#/users`);
  await page.locator('#user-add').waitFor();
  const outcome = await page.evaluate(async () => {
    const { dialog } = await import('/js/ui.js');
    const body = document.createElement('p');
    body.textContent = 'quick';
    const done = dialog({ title: 'Quick', body, buttons: [{ label: 'Cancel' }, { label: 'OK', style: 'primary', submit: true }],
      onSubmit: async () => 'sent' });
    [...document.querySelectorAll('.modal')].find((m) => m.contains(body)).querySelector('form').requestSubmit();
    // Only a guard against a hang: the answer comes when the opening animation ends.
    const guard = new Promise((ok) => setTimeout(() => ok('still open'), 15000));
    const result = await Promise.race([done, guard]);
    return { result, dialogsLeft: document.querySelectorAll('.modal').length };
  });
  assert.deepEqual(outcome, { result: 'sent', dialogsLeft: 0 });
});

test('signing out returns to the login page and ends the session', async () => {
  await page.goto(`${base}/start.html`);
  await page.locator('#vm-table tbody tr').first().waitFor();
  await logout();
  await page.locator('#login-form').waitFor();
  const r = await apiFromPage('GET', '/api/user/0');
  assert.equal(r.status, 403);
});

test('a link into the application leads there once signed in', async () => {
  // Signed out (above): the link goes to the login page first, its #route kept by the browser.
  await page.goto(`${base}/#/audit`);
  await page.locator('#login-form').waitFor();
  assert.match(page.url(), /login\.html#\/audit$/);
  await page.fill('#usr', 'administrator');
  await page.fill('#pwd', 'bravo');
  await Promise.all([page.waitForURL(/start\.html#\/audit$/), page.click('button[type=submit]')]);
  await page.getByRole('heading', { name: 'Audit log' }).waitFor();
  assert.equal(shared.pageErrors, undefined);
});

test('the live data are asked for once at the login, then every 3 seconds', async () => {
  await logout();
  // The page's clock stands still unless moved here, so nothing below depends on speed.
  await context.clock.install();
  await context.clock.pauseAt(Date.now() + 60000);
  let asked = 0;
  const count = (r) => { if (new URL(r.url()).pathname === '/api/livedata') asked++; };
  context.on('request', count);
  try {
    await login('administrator', 'bravo');
    await page.locator('#vm-table tbody tr td a').first().waitFor();
    await page.waitForLoadState('networkidle');
    assert.equal(asked, 1);
    await context.clock.runFor(3000);
    await page.waitForLoadState('networkidle');
    for (const until = Date.now() + GUARD; asked < 2 && Date.now() < until;) await new Promise((r) => setTimeout(r, 50));
    assert.equal(asked, 2);
  } finally {
    context.off('request', count);
  }
});

test('no page needed anything the content security policy refuses', () => {
  assert.deepEqual(shared.refused, []);
});
