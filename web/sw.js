// Keeps the site's own files so that the page converts and plays without a network. The
// network comes first, so a new build is seen as soon as it is published.
const cache_name = 'zkt2wav-@PROJECT_VERSION@';
const site_files = ['./', 'index.html', 'style.css', 'app.js', 'check.js', 'record.js',
                    'zkt2wav.js', 'zkt2wav-check.js', 'manifest.webmanifest', 'icon.svg'];

self.addEventListener('install', (event) => {
  event.waitUntil(caches.open(cache_name)
                      .then((cache) => cache.addAll(site_files))
                      .then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => {
  event.waitUntil(caches.keys()
                      .then((names) => Promise.all(names.filter((name) => name !== cache_name)
                                                       .map((name) => caches.delete(name))))
                      .then(() => self.clients.claim()));
});

self.addEventListener('fetch', (event) => {
  if (event.request.method !== 'GET')
    return;
  event.respondWith(fetch(event.request)
                        .then((response) => {
                          if (response.ok) {
                            const copy = response.clone();
                            caches.open(cache_name).then((cache) => cache.put(event.request, copy));
                          }
                          return response;
                        })
                        .catch(() => caches.match(event.request, {ignoreSearch: true})));
});
