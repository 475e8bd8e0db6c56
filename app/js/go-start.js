// The root page only forwards to the start page, keeping the fragment.
location.replace('/start.html' + location.hash);
