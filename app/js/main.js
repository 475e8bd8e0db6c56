// Start of the application: the signed-in user, the navigation and the hash router.
import { get, setLoggedOutHandler } from './api.js';
import { h, clear, $ } from './dom.js';
import { errorBox, spinner } from './ui.js';
import { keepSessionAlive } from './keepalive.js';
import { prefetch } from './live.js';

const PAGES = [
  { path: /^\/?$/, nav: 'Dashboard', href: '#/', claim: null, load: () => import('./pages/dashboard.js') },
  { path: /^\/vm\/([0-9A-Za-z-]{36})(?:\/(\w+))?$/, load: () => import('./pages/vm.js') },
  { path: /^\/servers$/, nav: 'Servers', href: '#/servers', claim: 'cHost_View', load: () => import('./pages/servers.js') },
  { path: /^\/server\/(\d+)$/, load: () => import('./pages/hostinfo.js') },
  { path: /^\/users$/, nav: 'Users', href: '#/users', claim: 'cUsers_View', load: () => import('./pages/users.js') },
  { path: /^\/roles$/, nav: 'Roles', href: '#/roles', claim: 'cRoles_View', load: () => import('./pages/roles.js') },
  { path: /^\/role\/(\d+|new)$/, load: () => import('./pages/role.js') },
  { path: /^\/audit$/, nav: 'Audit log', href: '#/audit', claim: 'cLog_Audit', load: () => import('./pages/audit.js') },
  { path: /^\/syslog$/, nav: 'System log', href: '#/syslog', claim: 'cLog_System', load: () => import('./pages/syslog.js') },
  { path: /^\/password$/, load: () => import('./pages/password.js') },
];

const ctx = {
  user: null,
  can(claim) { return this.user?.claims?.[claim] === true; },
};

let cleanup = null;
let navToken = 0;

function buildNav() {
  const ul = $('#nav-links');
  clear(ul);
  for (const p of PAGES) {
    if (!p.nav || (p.claim && !ctx.can(p.claim))) continue;
    ul.append(h('li', { class: 'nav-item' }, h('a', { class: 'nav-link', href: p.href }, p.nav)));
  }
  $('#user-menu').textContent = ctx.user.name || 'Signed in';
}

function markNav(path) {
  for (const a of document.querySelectorAll('#nav-links a')) {
    const target = a.getAttribute('href').slice(1);
    const active = target === '/' ? path === '/' || path === '' || path.startsWith('/vm/') : path.startsWith(target)
      || (target === '/servers' && path.startsWith('/server/')) || (target === '/roles' && path.startsWith('/role/'));
    a.classList.toggle('active', active);
    if (active) a.setAttribute('aria-current', 'page'); else a.removeAttribute('aria-current');
  }
}

async function route() {
  const token = ++navToken;
  const path = decodeURIComponent(location.hash.replace(/^#/, '').split('?')[0]);
  const main = $('#main');
  if (cleanup) { try { cleanup(); } catch (e) { console.error(e); } cleanup = null; }
  markNav(path);
  const page = PAGES.find((p) => p.path.test(path));
  clear(main);
  if (!page) {
    main.append(errorBox('This page does not exist.'), h('a', { href: '#/' }, 'Back to the dashboard'));
    return;
  }
  main.append(spinner());
  const params = path.match(page.path).slice(1);
  try {
    const mod = await page.load();
    if (token !== navToken) return;
    clear(main);
    const c = await mod.render(main, ctx, params);
    if (token !== navToken) { if (typeof c === 'function') c(); return; }
    cleanup = typeof c === 'function' ? c : null;
  } catch (e) {
    if (token !== navToken) return;
    clear(main).append(errorBox(e.message || String(e)));
  }
  // Keyboard and screen-reader users land on the new page, not on the old link.
  if (document.activeElement === document.body || document.activeElement?.closest('nav')) main.focus({ preventScroll: true });
  document.querySelector('.navbar-collapse.show') && window.bootstrap?.Collapse.getOrCreateInstance('#nav-main').hide();
}

async function start() {
  setLoggedOutHandler(() => { location.href = '/login.html'; });
  keepSessionAlive();
  sessionStorage.removeItem('hbr.loginPending');
  const version = $('#version');
  if (version && version.textContent.includes('%')) version.textContent = '';
  // The dashboard is where a login lands: its live data are fetched while the user is read.
  if (PAGES[0].path.test(location.hash.replace(/^#/, '').split('?')[0])) prefetch();
  try {
    ctx.user = await get('/api/user/0');
  } catch (e) {
    clear($('#main')).append(errorBox(e.message));
    return;
  }
  if (!ctx.user.claims) ctx.user.claims = {};
  buildNav();
  window.addEventListener('hashchange', route);
  await route();
}

start();
