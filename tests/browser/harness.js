// What every browser test needs around the browser: a real `hbr run-exe -demo` with its
// simulated Hyper-V host on a free loopback port, its own database and state folder.
import { spawn } from 'node:child_process';
import { mkdirSync } from 'node:fs';
import { join, resolve, dirname } from 'node:path';
import { createServer } from 'node:net';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = dirname(fileURLToPath(import.meta.url));
export const SOURCE = process.env.HBR_SOURCE_DIR || resolve(here, '../..');
export const EXE = process.env.HBR_EXE || join(SOURCE, 'build/hbr');
export const OUT = process.env.HBR_TEST_OUT || join(SOURCE, 'build/browser-screens');
export const GUARD = 30000; // against hangs only; every wait is for a condition

export function freePort() {
  return new Promise((ok, fail) => {
    const s = createServer();
    s.once('error', fail);
    s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => ok(port)); });
  });
}

// Starts hbr with its files under `tmp`; resolves once it says it serves. `stop()` ends it and
// waits for its exit. By default a -demo instance on 127.0.0.1; `args` replaces -demo, `host`
// names the URL's host, `scheme` is http or https and `env` adds to the environment.
export async function startHbr(tmp, { args = ['-demo'], host = '127.0.0.1', scheme = 'http', env = {} } = {}) {
  const port = await freePort();
  const base = `${scheme}://${host}:${port}`;
  mkdirSync(join(tmp, 'state'));
  const proc = spawn(EXE, ['run-exe', ...args, '-url', `${base}/`, '-dbpath', join(tmp, 'hbr.db'), '-webroot', join(SOURCE, 'app')], {
    // As for every test instance: an account takes a checked password every millisecond rather
    // than every second, so a test's wrong password and right one can follow each other.
    env: { ...process.env, HBR_STATE_DIR: join(tmp, 'state'), HBR_LOGIN_LIMITS: 'account_interval_ms=1', ...env },
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  let output = '';
  await new Promise((ok, fail) => {
    const timer = setTimeout(() => fail(new Error(`hbr did not start:\n${output}`)), GUARD);
    const onData = (d) => {
      output += d;
      if (output.includes('Press a key to stop and exit')) { clearTimeout(timer); ok(); }
    };
    proc.stdout.on('data', onData);
    proc.stderr.on('data', onData);
    proc.once('exit', (code) => { clearTimeout(timer); fail(new Error(`hbr exited with ${code}:\n${output}`)); });
  });
  return {
    base,
    output: () => output,
    async stop() {
      if (proc.exitCode !== null || proc.signalCode !== null) return;
      const exited = new Promise((ok) => proc.once('exit', ok));
      proc.kill('SIGTERM');
      await exited;
    },
  };
}

// Debian's Chromium, headless, with a fresh profile under `profileDir`. The flags keep it off the
// network: without them it keeps trying hosts this machine cannot reach.
// `extra` adds launch options (httpCredentials, env) and `extra.args` more flags.
export function launchChromium(profileDir, viewport, extra = {}) {
  const { args = [], ...options } = extra;
  return chromium.launchPersistentContext(profileDir, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', ...args],
    viewport,
    ...options,
  });
}

// Debian's Firefox ESR, driven through WebDriver BiDi with puppeteer-core.
export const FIREFOX = process.env.HBR_FIREFOX || '/usr/bin/firefox-esr';
// Anything that is not on loopback goes to a closed loopback port, so the browser's own
// background services cannot reach out; loopback itself is never sent to a proxy.
export const OFFLINE_PREFS = {
  'network.proxy.type': 1,
  'network.proxy.http': '127.0.0.1',
  'network.proxy.http_port': 9,
  'network.proxy.ssl': '127.0.0.1',
  'network.proxy.ssl_port': 9,
  'network.proxy.share_proxy_settings': true,
  'network.proxy.allow_hijacking_localhost': false,
  'network.trr.mode': 5,
  'network.dns.disablePrefetch': true,
  'network.captive-portal-service.enabled': false,
  'network.connectivity-service.enabled': false,
  'app.normandy.enabled': false,
  'toolkit.telemetry.enabled': false,
  'datareporting.policy.dataSubmissionEnabled': false,
};
