// brightloom Share: the visitor's column browser. Plain browser JavaScript, inlined into the
// application page together with its bootstrap JSON; it talks to the server only through the
// listing and metadata endpoints and plain links. This part navigates, copies links, wires the
// events and starts the page; it runs last of the client's files.

function openShare(slug) {
  if (!state.shares.some((share) => share.slug === slug)) return;
  state.currentShareSlug = slug;
  state.currentDirectory = '';
  state.selectedRelativePath = null;
  window.history.pushState(historyMark(), '', shareURL(slug, '', true));
  drawWholeView();
}

function openFolder(path) {
  const folder = trimSlashes(path);
  showPath(folder, folder === '' ? null : folder);
}

// A step back or forward in the history: within the same share only what differs is redrawn.
function restoreFromLocation() {
  if (viewerFollowsLocation()) return;
  const pathname = window.location.pathname;
  const parts = pathname
    .split('/')
    .filter((part) => part !== '')
    .map(decodeComponent);
  const share = parts.length ? state.shares.find((entry) => entry.slug === parts[0]) : null;
  const relative = parts.slice(1).join('/');
  const directory = pathname.endsWith('/') ? relative : parentPath(relative);
  const selection = relative === '' ? null : relative;
  if (share && share.slug === state.currentShareSlug && byId('browser-columns')) {
    showPath(directory, selection, { history: 'none' });
    return;
  }
  state.currentShareSlug = share ? share.slug : null;
  state.currentDirectory = share ? directory : '';
  state.selectedRelativePath = share ? selection : null;
  drawWholeView();
}

function copyWithSelection(text) {
  const area = document.createElement('textarea');
  area.value = text;
  area.setAttribute('readonly', '');
  area.className = 'clipboard-helper';
  document.body.appendChild(area);
  area.select();
  try {
    document.execCommand('copy');
  } catch (error) {
    // Nothing more to try; copying is best effort.
  }
  area.remove();
}

function copyText(text, button) {
  const done = () => {
    if (!button) return;
    button.classList.add('is-done');
    window.setTimeout(() => button.classList.remove('is-done'), 1200);
  };
  // The asynchronous clipboard exists only in secure contexts; plain http on the local network
  // still gets the selection-based copy.
  if (navigator.clipboard && window.isSecureContext) {
    navigator.clipboard.writeText(text).then(done, () => copyWithSelection(text));
  } else {
    copyWithSelection(text);
    done();
  }
}

function handleClick(event) {
  const target = event.target.closest('[data-action]');
  if (!target || !byId('app').contains(target)) return;
  switch (target.dataset.action) {
    case 'open-share':
      // Modified clicks keep their usual meaning (new tab, new window).
      if (event.button !== 0 || event.metaKey || event.ctrlKey || event.shiftKey || event.altKey) return;
      event.preventDefault();
      openShare(target.dataset.slug);
      break;
    case 'open-folder':
      openFolder(target.dataset.path || '');
      break;
    case 'copy':
      copyText(window.location.origin + (target.dataset.url || '/'), target);
      break;
    case 'theme':
      cycleTheme();
      break;
    default:
      break;
  }
}

// The page head carries no icon link; without one the browser asks for /favicon.ico in vain.
function addPageIcon() {
  if (document.querySelector('link[rel~="icon"]')) return;
  const link = document.createElement('link');
  link.rel = 'icon';
  link.type = 'image/png';
  link.href = '/__asset/app-icon.png';
  document.head.appendChild(link);
}

function start() {
  const app = byId('app');
  if (!app) return;
  addPageIcon();
  app.addEventListener('click', handleClick);
  app.addEventListener('keydown', handleColumnKey);
  window.addEventListener('popstate', restoreFromLocation);
  startSearch();
  startPhone();
  startGallery();
  startPicking();
  startViewer();
  applyTheme(state.theme);
  drawWholeView();
}

if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
else start();
