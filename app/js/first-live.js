// The dashboard's first live data are asked for before the style sheets and the modules have
// arrived (scripts wait for both); the application takes this reply (js/live.js). A file of its
// own, not an inline script, so that the content security policy can refuse every inline one.
(function () {
  var path = location.hash.replace(/^#/, '').split('?')[0];
  if (path === '' || path === '/') window.hbrFirstLive = fetch('/api/livedata', { credentials: 'same-origin' });
})();
