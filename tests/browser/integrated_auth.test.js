// Signing in with a Windows account from a real browser: Chromium's own NTLM (a 32-byte
// NEGOTIATE, then an AUTHENTICATE signed over the messages as sent) against a real hbr.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { launchChromium, startHbr } from './harness.js';

let tmp;
before(() => { tmp = mkdtempSync(join(tmpdir(), 'hbr-winauth-')); });
after(() => { rmSync(tmp, { recursive: true, force: true }); });

async function userOf(context, base) {
  const page = await context.newPage();
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
