// brightloom Share: the visitor's column browser. Plain browser JavaScript, inlined into the
// application page together with its bootstrap JSON; it talks to the server only through the
// listing and metadata endpoints and plain links.
(function () {
  'use strict';

  const THEME_KEY = 'quarry-share-theme';
  const THEMES = ['system', 'dark', 'light'];

  // ---------------------------------------------------------------- helpers

  function escapeHTML(value) {
    return String(value === undefined || value === null ? '' : value)
      .replace(/&/g, '&amp;')
      .replace(/</g, '&lt;')
      .replace(/>/g, '&gt;')
      .replace(/"/g, '&quot;');
  }

  // A lone surrogate in a name would make encodeURIComponent throw; replace it instead of failing.
  function encodeComponent(text) {
    const wellFormed = String(text).replace(
      /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/g,
      '\uFFFD'
    );
    return encodeURIComponent(wellFormed);
  }

  function decodeComponent(text) {
    try {
      return decodeURIComponent(text);
    } catch (error) {
      return text;
    }
  }

  function components(path) {
    return String(path || '')
      .split('/')
      .filter((part) => part !== '');
  }

  function trimSlashes(path) {
    return components(path).join('/');
  }

  function parentPath(path) {
    return components(path).slice(0, -1).join('/');
  }

  function lastComponent(path) {
    const parts = components(path);
    return parts.length ? parts[parts.length - 1] : '';
  }

  function shareURL(slug, relativePath, isFolder) {
    const parts = [slug].concat(components(relativePath)).map(encodeComponent);
    return '/' + parts.join('/') + (isFolder ? '/' : '');
  }

  function endpointURL(endpoint, slug, relativePath) {
    return '/__' + endpoint + '/' + encodeComponent(slug) + '?path=' + encodeComponent(relativePath || '');
  }

  // Only same-site paths become links; anything else falls back to the link built here.
  function sameSitePath(value, fallback) {
    return typeof value === 'string' && value.startsWith('/') && !value.startsWith('//') ? value : fallback;
  }

  class RequestFailure extends Error {
    constructor(status, statusText) {
      super(statusText || 'HTTP ' + status);
      this.status = status;
    }
  }

  async function fetchJSON(url) {
    const response = await fetch(url, {
      credentials: 'same-origin',
      cache: 'no-store',
      headers: { Accept: 'application/json' },
    });
    if (!response.ok) throw new RequestFailure(response.status, response.statusText);
    return response.json();
  }

  const numberFormat = new Intl.NumberFormat(undefined, { maximumFractionDigits: 1 });

  function formatSize(size) {
    if (typeof size !== 'number' || !Number.isFinite(size)) return 'File';
    if (size > 1048576) return numberFormat.format(size / 1048576) + ' MB';
    if (size > 1024) return numberFormat.format(size / 1024) + ' KB';
    return numberFormat.format(size) + ' B';
  }

  function formatDate(text) {
    if (text === undefined || text === null || text === '') return 'Now';
    try {
      const date = new Date(text);
      if (Number.isNaN(date.getTime())) return String(text);
      return new Intl.DateTimeFormat(undefined, { dateStyle: 'medium', timeStyle: 'short' }).format(date);
    } catch (error) {
      return String(text);
    }
  }

  // ------------------------------------------------------------------ icons

  const ICON_PATHS = {
    folder:
      '<path d="M2.6 6.1c0-1 .8-1.8 1.8-1.8h3.2c.5 0 .9.2 1.2.5l1.3 1.4h5.5c1 0 1.8.8 1.8 1.8v6.6c0 1-.8 1.8-1.8 1.8H4.4c-1 0-1.8-.8-1.8-1.8Z"/><path d="M2.6 8.4h14.8"/>',
    file: '<path d="M5.6 2.6h5.3l3.9 3.9v9.1c0 1-.8 1.8-1.8 1.8H5.6c-1 0-1.8-.8-1.8-1.8V4.4c0-1 .8-1.8 1.8-1.8Z"/><path d="M10.6 2.8v3.2c0 .6.4 1 1 1h3.1"/>',
    lock: '<rect x="4.4" y="8.8" width="11.2" height="8.4" rx="2.2"/><path d="M7 8.8V6.4a3 3 0 0 1 6 0v2.4"/><path d="M10 12.2v1.7"/>',
    sun: '<circle cx="10" cy="10" r="3.3"/><path d="M10 2.4v1.7M10 15.9v1.7M2.4 10h1.7M15.9 10h1.7M4.6 4.6l1.2 1.2M14.2 14.2l1.2 1.2M4.6 15.4l1.2-1.2M14.2 5.8l1.2-1.2"/>',
    moon: '<path fill="currentColor" stroke="none" d="M16.4 12.4A6.9 6.9 0 0 1 7.6 3.6a.6.6 0 0 0-.8-.7 7.6 7.6 0 1 0 10.3 10.3.6.6 0 0 0-.7-.8Z"/>',
    download: '<path d="M10 3.2v9.2"/><path d="M6.3 8.9 10 12.6l3.7-3.7"/><path d="M4 16.6h12"/>',
    copy: '<rect x="7" y="7" width="9.6" height="9.6" rx="2"/><path d="M13 7V5.2c0-1-.8-1.8-1.8-1.8H5.2c-1 0-1.8.8-1.8 1.8v6c0 1 .8 1.8 1.8 1.8H7"/>',
  };

  function icon(name) {
    return (
      '<svg class="icon icon-' +
      name +
      '" viewBox="0 0 20 20" fill="none" stroke="currentColor" stroke-width="1.7" ' +
      'stroke-linecap="round" stroke-linejoin="round" aria-hidden="true" focusable="false">' +
      ICON_PATHS[name] +
      '</svg>'
    );
  }

  // ------------------------------------------------------------------ state

  function readBootstrap() {
    const element = document.getElementById('quarry-share-data');
    try {
      const value = JSON.parse(element ? element.textContent : '{}');
      return value && typeof value === 'object' ? value : {};
    } catch (error) {
      return {};
    }
  }

  function readStoredTheme() {
    try {
      return window.localStorage.getItem(THEME_KEY);
    } catch (error) {
      return null;
    }
  }

  function normalisedTheme(value) {
    return THEMES.includes(value) ? value : 'system';
  }

  function initialTheme() {
    const fromQuery = new URLSearchParams(window.location.search).get('theme');
    if (fromQuery !== null) return normalisedTheme(fromQuery);
    const stored = readStoredTheme();
    if (stored !== null) return normalisedTheme(stored);
    return 'dark';
  }

  function validShare(entry) {
    return entry && typeof entry === 'object' && typeof entry.slug === 'string' && entry.slug !== '';
  }

  const bootstrap = readBootstrap();
  const state = {
    shares: (Array.isArray(bootstrap.shares) ? bootstrap.shares : []).filter(validShare).map((entry) => ({
      slug: entry.slug,
      name: typeof entry.name === 'string' && entry.name !== '' ? entry.name : entry.slug,
      isPasswordProtected: entry.isPasswordProtected === true,
    })),
    currentShareSlug: typeof bootstrap.currentShareSlug === 'string' ? bootstrap.currentShareSlug : null,
    currentDirectory: typeof bootstrap.initialDirectory === 'string' ? bootstrap.initialDirectory : '',
    selectedRelativePath:
      typeof bootstrap.selectedRelativePath === 'string' && bootstrap.selectedRelativePath !== ''
        ? bootstrap.selectedRelativePath
        : null,
    theme: initialTheme(),
  };
  const welcomeTitle = typeof bootstrap.appName === 'string' && bootstrap.appName ? bootstrap.appName : null;

  // Every navigation bumps its counter; answers that arrive for an older one are dropped so a slow
  // reply never paints over a newer view.
  let columnsGeneration = 0;
  let inspectorGeneration = 0;

  function currentShare() {
    return state.shares.find((share) => share.slug === state.currentShareSlug) || null;
  }

  function byId(id) {
    return document.getElementById(id);
  }

  // ------------------------------------------------------------------ theme

  function applyTheme(theme) {
    state.theme = normalisedTheme(theme);
    try {
      window.localStorage.setItem(THEME_KEY, state.theme);
    } catch (error) {
      // Storage may be disabled; the theme then lasts for this page only.
    }
    if (state.theme === 'system') document.documentElement.removeAttribute('data-theme');
    else document.documentElement.setAttribute('data-theme', state.theme);
  }

  function themeButtonContent() {
    const label = state.theme === 'light' ? 'Light' : state.theme === 'dark' ? 'Dark' : 'System';
    return icon(state.theme === 'dark' ? 'sun' : 'moon') + '<span>' + label + '</span>';
  }

  function cycleTheme() {
    const next = { system: 'dark', dark: 'light', light: 'system' };
    applyTheme(next[state.theme] || 'system');
    // Only the button depends on the theme; the colours follow the root attribute by themselves.
    const button = byId('theme-toggle');
    if (button) button.innerHTML = themeButtonContent();
  }

  // ------------------------------------------------------------ whole view

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
      '<aside class="sidebar">' +
      '<div class="sidebar-header"><div class="brand-row">' +
      '<div class="brand-block"><div class="brand-mark"><img src="/__asset/app-icon.png" alt="brightloom icon"></div>' +
      '<div class="brand-copy"><strong>brightloom</strong><span>Read-only file shares</span></div></div>' +
      '<button id="theme-toggle" class="theme-button" type="button" title="Toggle theme" data-action="theme">' +
      themeButtonContent() +
      '</button>' +
      '</div></div>' +
      '<nav class="share-list">' +
      list +
      '</nav>' +
      '</aside>'
    );
  }

  function browserMarkup(share) {
    const rootURL = shareURL(share.slug, '', true);
    return (
      '<main class="browser">' +
      '<header class="browser-header"><div class="browser-title"><h1 title="' +
      escapeHTML(share.name) +
      '">' +
      escapeHTML(share.name) +
      '</h1><p>Read-only browser for this shared folder.</p></div>' +
      '<span class="path-pill mono">/' +
      escapeHTML(share.slug) +
      '/</span></header>' +
      '<div class="browser-bar"><nav id="breadcrumb" class="breadcrumb is-hidden" aria-label="Folder path"></nav>' +
      '<div class="toolbar">' +
      '<a id="download-current-folder" class="toolbar-button" href="' +
      escapeHTML(shareURL(share.slug, state.currentDirectory, true) + '?download=1') +
      '">' +
      icon('download') +
      '<span>Download ZIP</span></a>' +
      '<button id="copy-share-url" class="toolbar-button" type="button" data-action="copy" data-url="' +
      escapeHTML(rootURL) +
      '">' +
      icon('copy') +
      '<span>Copy URL</span></button>' +
      '</div></div>' +
      '<div id="browser-columns" class="browser-columns"></div>' +
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
      '<div class="inspector-card"><h3>How this works</h3><p>Browse folders in columns, open nested folders instantly, ' +
      'and download any visible file without exposing write access.</p></div>' +
      '</div>' +
      '</main>'
    );
  }

  function inspectorMarkup() {
    return (
      '<aside class="inspector">' +
      '<header class="inspector-header"><div class="inspector-title"><h2>Details</h2>' +
      '<p>Selection, size, path, and download actions live here.</p></div></header>' +
      '<div id="inspector-body" class="inspector-body"></div>' +
      '</aside>'
    );
  }

  function drawWholeView() {
    const share = currentShare();
    byId('app').innerHTML =
      '<div class="app-shell">' +
      sidebarMarkup(share) +
      (share ? browserMarkup(share) : welcomeMarkup()) +
      inspectorMarkup() +
      '</div>';
    if (share) document.title = share.name;
    else if (welcomeTitle) document.title = welcomeTitle;
    if (share) {
      loadColumns();
    } else {
      byId('inspector-body').innerHTML =
        '<div class="inspector-empty">Pick a folder or file to see details here.</div>';
    }
  }

  // ---------------------------------------------------------------- columns

  function columnSegments(directory) {
    const parts = components(directory);
    const segments = [''];
    for (let index = 1; index <= parts.length; index += 1) segments.push(parts.slice(0, index).join('/'));
    return segments;
  }

  function breadcrumbMarkup(share, directory) {
    const parts = components(directory);
    const crumbs = [{ label: share.name, path: '' }].concat(
      parts.map((part, index) => ({ label: part, path: parts.slice(0, index + 1).join('/') }))
    );
    return crumbs
      .map(
        (crumb, index) =>
          '<button type="button" class="crumb' +
          (index === crumbs.length - 1 ? ' is-current' : '') +
          '" data-action="open-folder" data-path="' +
          escapeHTML(crumb.path) +
          '" title="' +
          escapeHTML(crumb.label) +
          '">' +
          escapeHTML(crumb.label) +
          '</button>'
      )
      .join('<span class="crumb-separator" aria-hidden="true">›</span>');
  }

  function entryMarkup(item, marked) {
    const isFolder = item.isDirectory === true;
    const name = typeof item.name === 'string' ? item.name : '';
    const path = typeof item.relativePath === 'string' ? item.relativePath : '';
    return (
      '<button type="button" class="column-entry' +
      (marked ? ' is-selected' : '') +
      '" data-action="' +
      (isFolder ? 'open-folder' : 'open-file') +
      '" data-path="' +
      escapeHTML(path) +
      '" title="' +
      escapeHTML(name) +
      '">' +
      '<span class="column-entry-icon">' +
      icon(isFolder ? 'folder' : 'file') +
      '</span>' +
      '<span class="column-entry-copy"><span class="column-entry-name">' +
      escapeHTML(name) +
      '</span><span class="column-entry-meta">' +
      escapeHTML(isFolder ? 'Folder' : formatSize(item.size)) +
      '</span></span>' +
      (isFolder ? '<span class="column-entry-arrow" aria-hidden="true">›</span>' : '') +
      '</button>'
    );
  }

  function columnMarkup(share, listing, nextSegment) {
    const title = lastComponent(listing.directoryPath) || share.name;
    const items = Array.isArray(listing.items) ? listing.items : [];
    const rows = items.length
      ? items
          .map((item) => {
            const path = item && item.relativePath;
            const marked = path === state.selectedRelativePath || (nextSegment !== undefined && path === nextSegment);
            return entryMarkup(item || {}, marked);
          })
          .join('')
      : '<div class="empty-browser">Empty folder</div>';
    return (
      '<section class="browser-column"><div class="browser-column-title" title="' +
      escapeHTML(title) +
      '">' +
      escapeHTML(title) +
      '</div><div class="browser-column-list">' +
      rows +
      '</div></section>'
    );
  }

  // Keeps the newest column and each marked row in sight after a redraw.
  function revealSelection(container) {
    container.scrollLeft = container.scrollWidth;
    container.querySelectorAll('.browser-column-list').forEach((list) => {
      const row = list.querySelector('.column-entry.is-selected');
      if (!row) return;
      const top = row.offsetTop - list.offsetTop;
      if (top < list.scrollTop || top + row.offsetHeight > list.scrollTop + list.clientHeight) {
        list.scrollTop = Math.max(0, top - (list.clientHeight - row.offsetHeight) / 2);
      }
    });
  }

  async function loadColumns() {
    const share = currentShare();
    if (!share) {
      const body = byId('inspector-body');
      if (body) body.innerHTML = '<div class="inspector-empty">Pick a folder or file to see details here.</div>';
      return;
    }
    const generation = ++columnsGeneration;
    const directory = trimSlashes(state.currentDirectory);
    const segments = columnSegments(directory);
    let listings;
    try {
      listings = await Promise.all(
        segments.map((segment) => fetchJSON(endpointURL('browse', share.slug, segment)))
      );
    } catch (error) {
      // A failed step keeps what is on screen. With nothing on screen yet (a share just opened
      // whose unlock cookie is missing), load the page for real so the server can ask for the password.
      const columns = byId('browser-columns');
      if (generation === columnsGeneration && error.status === 401 && columns && !columns.children.length) {
        window.location.reload();
      }
      return;
    }
    if (generation !== columnsGeneration || currentShare() !== share) return;
    const columns = byId('browser-columns');
    if (!columns) return;

    // Breadcrumb, download link and columns change together, so the view never shows two places.
    const download = byId('download-current-folder');
    if (download) download.setAttribute('href', shareURL(share.slug, directory, true) + '?download=1');
    const breadcrumb = byId('breadcrumb');
    if (breadcrumb) {
      if (segments.length === 1) {
        breadcrumb.classList.add('is-hidden');
        breadcrumb.innerHTML = '';
      } else {
        breadcrumb.classList.remove('is-hidden');
        breadcrumb.innerHTML = breadcrumbMarkup(share, directory);
        breadcrumb.scrollLeft = breadcrumb.scrollWidth;
      }
    }
    columns.innerHTML = listings
      .map((listing, index) => columnMarkup(share, listing || {}, segments[index + 1]))
      .join('');
    revealSelection(columns);
    fillInspector(share, listings[listings.length - 1] || {});
  }

  // -------------------------------------------------------------- inspector

  // Long values (links, dates, access) take the card's full width; short ones share a line.
  function metaRow(label, value, options) {
    const mono = options && options.mono;
    const wide = mono || (options && options.wide);
    return (
      '<div class="meta-row' +
      (wide ? ' is-wide' : '') +
      '"><dt class="meta-label">' +
      escapeHTML(label) +
      '</dt><dd class="meta-value' +
      (mono ? ' mono' : '') +
      '" title="' +
      escapeHTML(value) +
      '">' +
      escapeHTML(value) +
      '</dd></div>'
    );
  }

  function heroMarkup(iconName, title, subtitle) {
    return (
      '<div class="inspector-hero"><div class="inspector-icon">' +
      icon(iconName) +
      '</div><div class="inspector-copy"><h3 title="' +
      escapeHTML(title) +
      '">' +
      escapeHTML(title) +
      '</h3><p title="' +
      escapeHTML(subtitle) +
      '">' +
      escapeHTML(subtitle) +
      '</p></div></div>'
    );
  }

  function shareCardMarkup(share, listing) {
    const rootURL = shareURL(share.slug, '', true);
    const count = Array.isArray(listing.items) ? listing.items.length : 0;
    return (
      '<div class="inspector-card">' +
      heroMarkup('folder', share.name, '') +
      '<dl class="inspector-meta">' +
      metaRow('Status', 'Live') +
      metaRow('Link', '/' + share.slug + '/', { mono: true }) +
      metaRow('Visible here', String(count)) +
      metaRow('Access', share.isPasswordProtected ? 'Password protected' : 'Open', { wide: true }) +
      '</dl>' +
      '<div class="inspector-actions">' +
      '<a class="primary-button" href="' +
      escapeHTML(rootURL + '?download=1') +
      '">' +
      icon('download') +
      '<span>Download ZIP</span></a>' +
      '<button id="copy-inspector-url" class="secondary-button" type="button" data-action="copy" data-url="' +
      escapeHTML(rootURL) +
      '">' +
      icon('copy') +
      '<span>Copy link</span></button>' +
      '</div></div>'
    );
  }

  function itemCardsMarkup(share, meta) {
    const isFolder = meta.isDirectory === true;
    const relativePath = typeof meta.relativePath === 'string' ? meta.relativePath : '';
    const itemURL = shareURL(share.slug, relativePath, isFolder);
    const downloadURL = sameSitePath(meta.downloadURL, itemURL + '?download=1');
    const copyButton =
      '<button id="copy-item-link" class="secondary-button" type="button" data-action="copy" data-url="' +
      escapeHTML(itemURL) +
      '">' +
      icon('copy') +
      '<span>Copy link</span></button>';
    const actions = isFolder
      ? '<button id="open-folder-button" class="secondary-button" type="button" data-action="open-folder" data-path="' +
        escapeHTML(relativePath) +
        '">' +
        icon('folder') +
        '<span>Open folder</span></button>' +
        '<a class="secondary-button" href="' +
        escapeHTML(downloadURL) +
        '">' +
        icon('download') +
        '<span>Download ZIP</span></a>' +
        copyButton
      : '<a class="primary-button" href="' +
        escapeHTML(downloadURL) +
        '">' +
        icon('download') +
        '<span>Download</span></a>' +
        copyButton;
    return (
      '<div class="inspector-card">' +
      heroMarkup(isFolder ? 'folder' : 'file', meta.name, relativePath || '/') +
      '<dl class="inspector-meta">' +
      metaRow('Kind', isFolder ? 'Folder' : 'File') +
      metaRow('Modified', formatDate(meta.modifiedAt), { wide: true }) +
      metaRow('Size', isFolder ? 'Folder' : formatSize(meta.size)) +
      metaRow('Share link', itemURL, { mono: true }) +
      '</dl></div>' +
      '<div class="inspector-card"><div class="inspector-card-title">Actions</div>' +
      '<div class="inspector-actions">' +
      actions +
      '</div></div>'
    );
  }

  async function fillInspector(share, rightmostListing) {
    const generation = ++inspectorGeneration;
    const selection = state.selectedRelativePath;
    if (selection === null) {
      const body = byId('inspector-body');
      if (body) body.innerHTML = shareCardMarkup(share, rightmostListing);
      return;
    }
    let meta;
    try {
      meta = await fetchJSON(endpointURL('meta', share.slug, selection));
    } catch (error) {
      return; // keep what the inspector showed before
    }
    if (generation !== inspectorGeneration || !meta || typeof meta !== 'object') return;
    const body = byId('inspector-body');
    if (body) body.innerHTML = itemCardsMarkup(share, meta);
  }

  // ------------------------------------------------------------- navigation

  function pushURL(url) {
    window.history.pushState(null, '', url);
  }

  function openShare(slug) {
    if (!state.shares.some((share) => share.slug === slug)) return;
    state.currentShareSlug = slug;
    state.currentDirectory = '';
    state.selectedRelativePath = null;
    pushURL(shareURL(slug, '', true));
    drawWholeView();
  }

  function openFolder(path) {
    const share = currentShare();
    if (!share) return;
    const folder = trimSlashes(path);
    state.currentDirectory = folder;
    state.selectedRelativePath = folder === '' ? null : folder;
    pushURL(shareURL(share.slug, folder, true));
    loadColumns();
  }

  function openFile(path) {
    const share = currentShare();
    if (!share) return;
    const file = trimSlashes(path);
    state.currentDirectory = parentPath(file);
    state.selectedRelativePath = file === '' ? null : file;
    pushURL(shareURL(share.slug, file, false));
    loadColumns();
  }

  function restoreFromLocation() {
    const pathname = window.location.pathname;
    const parts = pathname
      .split('/')
      .filter((part) => part !== '')
      .map(decodeComponent);
    if (parts.length === 0) {
      state.currentShareSlug = null;
      state.currentDirectory = '';
      state.selectedRelativePath = null;
    } else {
      const share = state.shares.find((entry) => entry.slug === parts[0]);
      state.currentShareSlug = share ? share.slug : null;
      const relative = parts.slice(1).join('/');
      state.currentDirectory = pathname.endsWith('/') ? relative : parentPath(relative);
      state.selectedRelativePath = relative === '' ? null : relative;
    }
    drawWholeView();
  }

  // ------------------------------------------------------------- clipboard

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

  // ------------------------------------------------------------------ events

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
      case 'open-file':
        openFile(target.dataset.path || '');
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
    window.addEventListener('popstate', restoreFromLocation);
    applyTheme(state.theme);
    drawWholeView();
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
