// Signing in with a Windows account from a real browser against a real hbr: Chromium's own NTLM
// (a 32-byte NEGOTIATE, then an AUTHENTICATE signed over the messages as sent), and Firefox ESR's
// Kerberos through SPNEGO with a ticket from a throwaway KDC. Debian's Chromium refuses the
// Negotiate scheme before it loads a GSSAPI library ("Unable to create AuthHandler ...
// ERR_UNSUPPORTED_AUTH_SCHEME" in its net log, with policies and --auth-server-allowlist set),
// so Kerberos in a browser is shown with Firefox.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';
import { FIREFOX, GUARD, OFFLINE_PREFS, SOURCE, freePort, launchChromium, startHbr } from './harness.js';

let tmp;
before(() => { tmp = mkdtempSync(join(tmpdir(), 'hbr-winauth-')); });
after(() => { rmSync(tmp, { recursive: true, force: true }); });

// The signed-in user as the API reports it; `browser` is a Playwright context or a Puppeteer browser.
async function userOf(browser, base) {
  const page = await browser.newPage();
  const reply = await page.goto(`${base}/api/user/0`);
  const result = { status: reply.status(), body: await reply.text() };
  await page.close();
  return result;
}

test('Chromium signs in over NTLM with the administrator account', async () => {
  const dir = mkdtempSync(join(tmp, 'ntlm-'));
  writeFileSync(join(dir, 'users'), 'CORP:ops:Secret1\n');
  const hbr = await startHbr(dir, {
    args: ['-auth', 'NTLM', '-admin', 'CORP\\ops'],
    env: { NTLM_USER_FILE: join(dir, 'users'), NETBIOS_DOMAIN_NAME: 'CORP' },
  });
  try {
    const good = await launchChromium(join(dir, 'good'), { width: 800, height: 600 },
      { httpCredentials: { username: 'CORP\\ops', password: 'Secret1' } });
    const me = await userOf(good, hbr.base);
    assert.equal(me.status, 200, me.body);
    assert.match(me.body, /"name":"administrator","ntlm":true/);
    // The application itself, with no login form in between.
    const page = await good.newPage();
    await page.goto(`${hbr.base}/`);
    assert.doesNotMatch(page.url(), /login\.html/);
    await good.close();

    const bad = await launchChromium(join(dir, 'bad'), { width: 800, height: 600 },
      { httpCredentials: { username: 'CORP\\ops', password: 'wrong' } });
    const refused = await userOf(bad, hbr.base);
    assert.equal(refused.status, 401);
    await bad.close();
  } finally {
    await hbr.stop();
  }
});

// A throwaway realm HBR.TEST on a free loopback port (tests/support/start-kdc.sh): the keytab of
// HTTP/localhost for the instance and a ticket of dave@HBR.TEST in `dir`/ccache.
async function startKdc(dir) {
  const r = spawnSync('/bin/bash', [join(SOURCE, 'tests/support/start-kdc.sh'), dir, String(await freePort())],
    { encoding: 'utf8' });
  assert.equal(r.status, 0, r.stdout + r.stderr);
  return { stop: () => process.kill(Number(readFileSync(join(dir, 'kdc.pid'), 'utf8')), 'SIGTERM') };
}

// Firefox trusting `localhost` for Negotiate, with `ccache` as its ticket cache.
async function firefoxWithTickets(dir, kdcDir, ccache) {
  mkdirSync(join(dir, 'home'), { recursive: true });
  return puppeteer.launch({
    browser: 'firefox',
    executablePath: FIREFOX,
    headless: true,
    userDataDir: join(dir, 'profile'),
    extraPrefsFirefox: {
      ...OFFLINE_PREFS,
      'network.negotiate-auth.trusted-uris': 'localhost',
      'network.negotiate-auth.allow-non-fqdn': true,
    },
    env: { ...process.env, HOME: join(dir, 'home'), KRB5CCNAME: `FILE:${ccache}`, KRB5_CONFIG: join(kdcDir, 'krb5.conf') },
    timeout: GUARD,
    protocolTimeout: GUARD * 2,
  });
}

// Refusals (no ticket, wrong password) are covered with curl: without a ticket Firefox falls
// back to the NTLM challenge and asks for a password, which a headless run cannot answer.
test('Firefox signs in over Kerberos with the ticket of the administrator account', async () => {
  const dir = mkdtempSync(join(tmp, 'krb-'));
  const kdcDir = join(dir, 'kdc');
  mkdirSync(kdcDir);
  const kdc = await startKdc(kdcDir);
  // The service principal is HTTP/localhost, so the browser must reach the instance by that name.
  const hbr = await startHbr(dir, {
    host: 'localhost',
    args: ['-auth', 'Negotiate', '-admin', 'HBR\\dave'],
    env: { KRB5_KTNAME: join(kdcDir, 'http.keytab'), KRB5_CONFIG: join(kdcDir, 'krb5.conf') },
  });
  try {
    const withTicket = await firefoxWithTickets(join(dir, 'good'), kdcDir, join(kdcDir, 'ccache'));
    try {
      const me = await userOf(withTicket, hbr.base);
      assert.equal(me.status, 200, me.body);
      // dave@HBR.TEST maps to HBR\dave, the -admin account.
      assert.match(me.body, /"name":"administrator","ntlm":true/);
      assert.match(readFileSync(join(kdcDir, 'kdc.log'), 'utf8'), /TGS_REQ.*dave@HBR\.TEST for HTTP\/localhost@HBR\.TEST/);
    } finally {
      await withTicket.close();
    }
  } finally {
    await hbr.stop();
    kdc.stop();
  }
});
