// The servers page with a remote host: the connection options as fields of their own, composed
// into the host text; a host whose certificate is not trusted shows the fingerprint it presented,
// and pinning it is one audited edit after which the host's TLS is accepted. The "host" is a
// node HTTPS server with a certificate made for this test, so only its TLS side matters.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { X509Certificate } from 'node:crypto';
import { mkdtempSync, mkdirSync, readFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:https';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { OUT, GUARD, launchChromium, startHbr } from './harness.js';

let hbr;
let tmp;
let context;
let page;
let host;
let hostUrl;
let fingerprint;
let requests = 0;
const pageErrors = [];

// A JSON route read with the application's own (tolerant) reader.
function read(path) {
  return page.evaluate(async (p) => {
    const { parseLoose } = await import('/js/loosejson.js');
    const r = await fetch(p, { cache: 'no-store' }); // what is stored now, never a cached copy
    return parseLoose(await r.text());
  }, path);
}

async function storedHost(name) {
  const s = (await read('/api/servers')).find((x) => x.name === name);
  return s && s.host;
}

async function serverEdits() {
  const log = await read('/api/auditlog?start=0&limit=1000');
  return log.data.filter((a) => Number(a.claim) === 2 && Number(a.result) === 0).length;
}

before(async () => {
  tmp = mkdtempSync(join(tmpdir(), 'hbr-servers-'));
  mkdirSync(OUT, { recursive: true });
  execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
    '-keyout', join(tmp, 'key.pem'), '-out', join(tmp, 'cert.pem'), '-days', '2', '-subj', '/CN=127.0.0.1',
    '-addext', 'subjectAltName=IP:127.0.0.1'], { stdio: 'ignore' });
  const cert = readFileSync(join(tmp, 'cert.pem'));
  fingerprint = new X509Certificate(cert).fingerprint256.replace(/:/g, '').toLowerCase();
  // Whoever gets past TLS is answered as a broken host would: a 500 without a body.
  host = createServer({ key: readFileSync(join(tmp, 'key.pem')), cert }, (req, res) => {
    requests += 1;
    req.resume();
    req.on('end', () => { res.writeHead(500, { 'Content-Length': '0' }); res.end(); });
  });
  await new Promise((ok) => host.listen(0, '127.0.0.1', ok));
  hostUrl = `https://127.0.0.1:${host.address().port}/wsman`;
  hbr = await startHbr(tmp, { env: { HBR_WSMAN_LIMITS: 'request_timeout_ms=3000' } });
  context = await launchChromium(join(tmp, 'profile'), { width: 1280, height: 900 });
  context.setDefaultTimeout(GUARD);
  page = context.pages()[0] || await context.newPage();
  page.on('pageerror', (e) => pageErrors.push(String(e)));
  await page.goto(`${hbr.base}/login.html`);
  await page.fill('#usr', 'administrator');
  await page.fill('#pwd', 'bravo');
  await page.click('button[type=submit]');
  await page.locator('body.app').waitFor();
});

after(async () => {
  await context?.close().catch(() => {});
  await hbr?.stop();
  host?.close();
  if (tmp) rmSync(tmp, { recursive: true, force: true });
});

test('the connection options are fields that compose the host text', async () => {
  await page.goto(`${hbr.base}/start.html#/servers`);
  await page.click('#server-add');
  const modal = page.locator('.modal');
  await modal.getByLabel('Name').fill('remote');
  // Options belong to remote hosts only: hidden for this machine and for simulated hosts.
  assert.equal(await page.locator('#server-remote-options').isVisible(), false);
  await modal.getByLabel('Host').fill('sim://x');
  assert.equal(await page.locator('#server-remote-options').isVisible(), false);
  await modal.getByLabel('Host').fill(hostUrl);
  await page.locator('#server-remote-options').waitFor();
  assert.equal(await page.inputValue('#server-auth'), 'ntlm');
  assert.equal(await page.inputValue('#server-tls'), 'verify');
  assert.equal(await page.locator('#server-pin').isVisible(), false);
  await page.selectOption('#server-auth', 'basic');
  // A pin that is no fingerprint is refused in the dialog, before anything is sent.
  await page.selectOption('#server-tls', 'pin');
  await page.fill('#server-pin', 'not-a-fingerprint');
  await modal.getByLabel('User').fill('ops');
  await modal.getByLabel('Password').fill('Secret#1');
  await modal.getByRole('button', { name: 'Add' }).click();
  await modal.getByRole('alert').getByText('64 hexadecimal digits').waitFor();
  assert.equal(await storedHost('remote'), undefined);
  // A host text with an option the server does not know: its reason is shown.
  await page.selectOption('#server-tls', 'verify');
  await modal.getByLabel('Host').fill(`${hostUrl}?colour=blue`);
  await modal.getByRole('button', { name: 'Add' }).click();
  await modal.getByRole('alert').getByText(/^Host: /).waitFor();
  assert.equal(await storedHost('remote'), undefined);
  await modal.getByLabel('Host').fill(hostUrl);
  await modal.getByRole('button', { name: 'Add' }).click();
  await modal.waitFor({ state: 'detached' });
  assert.equal(await storedHost('remote'), `${hostUrl}?auth=basic`);
});

test('an untrusted certificate shows its fingerprint, and pinning it is an audited edit', async () => {
  const row = page.locator('tr', { has: page.locator('td', { hasText: /^remote$/ }) });
  await row.locator('.server-status', { hasText: 'its certificate is not trusted' }).waitFor();
  assert.equal(await row.locator('code.server-presented').textContent(), fingerprint);
  assert.equal(requests, 0);
  await page.screenshot({ path: join(OUT, 'servers-untrusted.png') });
  const edits = await serverEdits();
  await row.getByRole('button', { name: 'Pin this certificate' }).click();
  const modal = page.locator('.modal');
  await modal.getByText(fingerprint).waitFor();
  await modal.getByRole('button', { name: 'Pin' }).click();
  await modal.waitFor({ state: 'detached' });
  assert.equal(await storedHost('remote'), `${hostUrl}?auth=basic&tls=sha256:${fingerprint}`);
  // Past TLS now: the host's own (broken) answer is what the status says.
  await row.locator('.server-status', { hasText: 'HTTP 500 without a body' }).waitFor();
  assert.ok(requests > 0);
  assert.equal(await row.locator('code.server-presented').count(), 0);
  assert.equal(await serverEdits(), edits + 1);
  // Editing shows the pinned fingerprint in its own field.
  await row.getByRole('button', { name: 'Edit remote' }).click();
  assert.equal(await page.inputValue('#server-tls'), 'pin');
  assert.equal(await page.inputValue('#server-pin'), fingerprint);
  assert.equal(await page.locator('.modal').getByLabel('Host').inputValue(), hostUrl);
  await page.locator('.modal').getByRole('button', { name: 'Cancel' }).click();
  assert.deepEqual(pageErrors, []);
});
