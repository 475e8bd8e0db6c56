// An https instance in Chromium: the administrator's certificate, signed by a CA of the test's
// own, is accepted only by a browser told to trust that CA; the application then works under
// its content security policy, the session cookie is Secure and the console socket is wss:.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { GUARD, launchChromium, startHbr } from './harness.js';

let tmp;
let hbr;
const pki = {};

const openssl = (args, cwd) => execFileSync('openssl', args, { cwd, stdio: ['ignore', 'pipe', 'pipe'] });

// A CA in `dir` and its public key's SHA-256 (base64), the form Chromium's trust flag takes.
function makeCa(dir, name) {
  openssl(['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes', '-keyout', `${name}.key`,
    '-out', `${name}.pem`, '-days', '30', '-subj', `/CN=${name}`, '-addext', 'basicConstraints=critical,CA:TRUE',
    '-addext', 'keyUsage=critical,keyCertSign'], dir);
  const pub = openssl(['x509', '-pubkey', '-noout', '-in', `${name}.pem`], dir);
  const der = execFileSync('openssl', ['pkey', '-pubin', '-outform', 'der'], { input: pub });
  const spki = execFileSync('openssl', ['dgst', '-sha256', '-binary'], { input: der }).toString('base64');
  return { cert: join(dir, `${name}.pem`), spki };
}

before(async () => {
  tmp = mkdtempSync(join(tmpdir(), 'hbr-https-'));
  pki.ca = makeCa(tmp, 'ca');
  pki.other = makeCa(tmp, 'other');
  writeFileSync(join(tmp, 'ext'), 'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n');
  openssl(['req', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes', '-keyout', 'srv.key', '-out', 'srv.csr',
    '-subj', '/CN=localhost'], tmp);
  openssl(['x509', '-req', '-in', 'srv.csr', '-CA', 'ca.pem', '-CAkey', 'ca.key', '-CAcreateserial', '-out', 'srv.pem',
    '-days', '30', '-extfile', 'ext'], tmp);
  // The certificate file holds the chain: the server's certificate, then the CA's.
  writeFileSync(join(tmp, 'chain.pem'), readFileSync(join(tmp, 'srv.pem')) + readFileSync(join(tmp, 'ca.pem')));
  hbr = await startHbr(tmp, { scheme: 'https', args: ['-demo', '-cert', join(tmp, 'chain.pem'), '-key', join(tmp, 'srv.key')] });
});

after(async () => {
  await hbr?.stop();
  if (tmp) rmSync(tmp, { recursive: true, force: true });
});

// Opens the login page in a fresh Chromium that trusts the CAs named by `spkis`.
async function openLogin(profile, spkis) {
  const args = spkis.length ? [`--ignore-certificate-errors-spki-list=${spkis.join(',')}`] : [];
  const context = await launchChromium(join(tmp, profile), { width: 1280, height: 800 }, { args });
  context.setDefaultTimeout(GUARD);
  const page = context.pages()[0] || await context.newPage();
  let error = null;
  await page.goto(`${hbr.base}/login.html`).catch((e) => { error = String(e); });
  return { context, page, error };
}

test('a browser that does not trust the CA refuses the certificate', async () => {
  for (const [profile, spkis] of [['untrusting', []], ['other-ca', [pki.other.spki]]]) {
    const { context, error } = await openLogin(profile, spkis);
    await context.close();
    assert.match(error || 'page loaded', /ERR_CERT_AUTHORITY_INVALID/, profile);
  }
});

test('trusting the CA, the application works over https under its policy', async () => {
  const { context, page, error } = await openLogin('trusting', [pki.ca.spki]);
  try {
    assert.equal(error, null);
    const refused = [];
    const pageErrors = [];
    page.on('console', (m) => { if (/Content Security Policy/i.test(m.text())) refused.push(m.text()); });
    page.on('pageerror', (e) => pageErrors.push(String(e)));
    const sockets = [];
    page.on('websocket', (ws) => {
      const frames = [];
      ws.on('framereceived', (f) => frames.push(typeof f.payload === 'string' ? f.payload : ''));
      sockets.push({ url: ws.url(), frames });
    });

    await page.fill('#usr', 'administrator');
    await page.fill('#pwd', 'bravo');
    await page.click('button[type=submit]');
    await page.locator('#vm-table tbody tr').first().waitFor();
    const cookie = (await context.cookies()).find((c) => c.httpOnly);
    assert.ok(cookie, 'no session cookie');
    assert.equal(cookie.secure, true);

    // A VM's page (it sets styles from script) and the console page.
    await page.locator('#vm-table tbody tr td:first-child a').first().click();
    await page.locator('.notes').waitFor();
    assert.equal(await page.locator('.notes').evaluate((e) => getComputedStyle(e).whiteSpace), 'pre-wrap');
    const console = await page.locator('a[href^="/rdp/"]').first().getAttribute('href');
    await page.goto(`${hbr.base}${console}`);
    // The console answers over the socket: a session id, or a reason it cannot connect.
    await page.waitForFunction(() => document.body.dataset.phase !== 'connecting');
    assert.equal(sockets.length, 1);
    assert.match(sockets[0].url, /^wss:\/\/127\.0\.0\.1:\d+\/ws$/);
    assert.ok(sockets[0].frames.some((f) => /^[SE]:/.test(f)), JSON.stringify(sockets[0].frames));
    assert.deepEqual(refused, []);
    assert.deepEqual(pageErrors, []);
  } finally {
    await context.close();
  }
});
