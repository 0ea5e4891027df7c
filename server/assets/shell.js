// The whole view: the sidebar with the shares, the browser pane (or the welcome pane without a
// share) and the inspector's frame. Drawn on start, on opening a share and on history steps to
// another share; within a share only the columns, the breadcrumb and the inspector change.

function sidebarMarkup(share) {
  let list;
  if (state.shares.length === 0) {
    list = '<div class="empty-browser">No shared folders are live right now.</div>';
  } else {
    list =
      '<div class="section-title">Shared Folders</div>' +
      state.shares
        .map((entry) => {
          const selected = share && share.slug === entry.slug ? ' is-selected' : '';
          const lock = entry.isPasswordProtected
            ? '<span class="share-row-lock" title="Password protected">' + icon('lock') + '</span>'
            : '';
          return (
            '<a class="share-row' +
            selected +
            '" href="' +
            escapeHTML(shareURL(entry.slug, '', true)) +
            '" data-action="open-share" data-slug="' +
            escapeHTML(entry.slug) +
            '">' +
            '<span class="share-row-icon">' +
            icon('folder') +
            '</span>' +
            '<span class="share-row-copy"><span class="share-row-title" title="' +
            escapeHTML(entry.name) +
            '">' +
            escapeHTML(entry.name) +
            '</span><span class="share-row-subtitle">/' +
            escapeHTML(entry.slug) +
            '/</span></span>' +
            lock +
            '</a>'
          );
        })
        .join('');
  }
  return (
    '<aside class="sidebar" aria-label="Shared folders">' +
    '<div class="sidebar-header"><div class="brand-row">' +
    '<div class="brand-block"><div class="brand-mark"><img src="/__asset/app-icon.png" alt="brightloom icon"></div>' +
    '<div class="brand-copy"><strong>brightloom</strong><span>Read-only file shares</span></div></div>' +
    '<button id="theme-toggle" class="theme-button" type="button" title="Toggle theme" data-action="theme">' +
    themeButtonContent() +
    '</button>' +
    '</div></div>' +
    '<nav class="share-list" aria-label="Shares">' +
    list +
    '</nav>' +
    '</aside>'
  );
}

// When the share ends by itself, in the visitor's own time zone and words.
function endMarkup(share) {
  if (!share.availableUntil) return '';
  const when = share.availableUntil.toLocaleString(undefined, { dateStyle: 'medium', timeStyle: 'short' });
  return '<p class="share-end">Available until ' + escapeHTML(when) + '</p>';
}

function browserMarkup(share) {
  const rootURL = shareURL(share.slug, '', true);
  return (
    '<main class="browser">' +
    '<header class="browser-header">' +
    backControlMarkup() +
    '<div class="browser-title"><h1 title="' +
    escapeHTML(share.name) +
    '">' +
    escapeHTML(share.name) +
    '</h1><p>Read-only browser for this shared folder.</p>' +
    endMarkup(share) +
    '</div>' +
    searchFieldMarkup() +
    '<span class="path-pill mono">/' +
    escapeHTML(share.slug) +
    '/</span></header>' +
    '<div class="browser-bar"><nav id="breadcrumb" class="breadcrumb is-hidden" aria-label="Folder path"></nav>' +
    '<div class="toolbar">' +
    viewToggleMarkup() +
    pickButtonMarkup() +
    '<a id="download-current-folder" class="toolbar-button" href="' +
    escapeHTML(shareURL(share.slug, state.currentDirectory, true) + '?download=1') +
    '">' +
    icon('download') +
    '<span>Download ZIP</span></a>' +
    '<details id="download-options" class="download-options" hidden>' +
    '<summary class="toolbar-button" aria-label="More ways to download this folder">' +
    icon('chevron') +
    '</summary><div class="download-options-menu">' +
    '<a id="download-smaller-zip" href="' +
    escapeHTML(shareURL(share.slug, state.currentDirectory, true) + '?download=1&compress=1') +
    '">Smaller ZIP (no progress, can\'t resume)</a></div></details>' +
    '<button id="copy-share-url" class="toolbar-button" type="button" data-action="copy" data-url="' +
    escapeHTML(rootURL) +
    '">' +
    icon('copy') +
    '<span>Copy URL</span></button>' +
    '</div></div>' +
    pickBarMarkup() +
    '<div id="browser-stage" class="browser-stage">' +
    '<div id="browser-columns" class="browser-columns"></div>' +
    '<div id="browser-grid" class="browser-grid"></div>' +
    '<div id="search-results" class="search-results"></div>' +
    '</div>' +
    '</main>'
  );
}

function welcomeMarkup() {
  return (
    '<main class="browser welcome-panel">' +
    '<header class="browser-header"><div class="browser-title"><h1>Shared folders</h1>' +
    '<p>Choose a folder from the left to browse it in brightloom-style columns.</p></div></header>' +
    '<div class="welcome-body">' +
    '<div class="welcome-grid">' +
    '<div class="welcome-stat"><span class="meta-label">Live now</span><strong>' +
    state.shares.length +
    '</strong></div>' +
    '<div class="welcome-stat"><span class="meta-label">Mode</span><strong>Read only</strong></div>' +
    '</div>' +
    '<div class="inspector-card"><h2>How this works</h2><p>Browse folders in columns, open nested folders instantly, ' +
    'and download any visible file without exposing write access.</p></div>' +
    '</div>' +
    '</main>'
  );
}

function inspectorMarkup() {
  return (
    '<aside class="inspector" aria-label="Details">' +
    '<header class="inspector-header">' +
    backControlMarkup() +
    '<div class="inspector-title"><h2>Details</h2>' +
    '<p>Selection, size, path, and download actions live here.</p></div></header>' +
    '<div id="inspector-body" class="inspector-body"></div>' +
    '</aside>'
  );
}

function drawWholeView() {
  const share = currentShare();
  byId('app').innerHTML =
    '<div class="app-shell" data-pane="' +
    initialPane(share) +
    '">' +
    sidebarMarkup(share) +
    (share ? browserMarkup(share) : welcomeMarkup()) +
    inspectorMarkup() +
    '</div>';
  if (share) document.title = share.name;
  else if (welcomeTitle) document.title = welcomeTitle;
  resetSearch();
  dropGrid();
  showBackControls();
  if (share) {
    resetColumns();
    showPath(state.currentDirectory, state.selectedRelativePath, { history: 'none' });
  } else {
    showEmptyInspector();
  }
}

// The deflated archive is smaller only where there is something to compress: a folder mostly of photos
// and videos is offered the archive with a length alone, which shows its progress and can resume.
function offerSmallerZip(share, folder, items) {
  const options = byId('download-options');
  const link = byId('download-smaller-zip');
  if (!options || !link) return;
  const media = new Set([...PREVIEW_SUFFIXES.image, ...PREVIEW_SUFFIXES.video, 'heic', 'heif', 'tif', 'tiff']);
  const files = items.filter((item) => item.isDirectory !== true && typeof item.name === 'string');
  const photosAndVideos = files.filter((item) => media.has(nameSuffix(item.name))).length;
  options.hidden = files.length > 0 && photosAndVideos * 2 > files.length;
  options.open = false;
  link.setAttribute('href', shareURL(share.slug, folder, true) + '?download=1&compress=1');
}
