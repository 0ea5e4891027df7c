// Helpers every part of the client uses: escaping, paths and URLs, requests, formatting, icons.
// The client's files run as one script in one private scope (see appScript() on the server).

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

// `signal`, when given, lets the caller abandon the request (an AbortController's).
async function fetchJSON(url, signal) {
  const response = await fetch(url, {
    credentials: 'same-origin',
    cache: 'no-store',
    headers: { Accept: 'application/json' },
    signal,
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

const ICON_PATHS = {
  folder:
    '<path d="M2.6 6.1c0-1 .8-1.8 1.8-1.8h3.2c.5 0 .9.2 1.2.5l1.3 1.4h5.5c1 0 1.8.8 1.8 1.8v6.6c0 1-.8 1.8-1.8 1.8H4.4c-1 0-1.8-.8-1.8-1.8Z"/><path d="M2.6 8.4h14.8"/>',
  file: '<path d="M5.6 2.6h5.3l3.9 3.9v9.1c0 1-.8 1.8-1.8 1.8H5.6c-1 0-1.8-.8-1.8-1.8V4.4c0-1 .8-1.8 1.8-1.8Z"/><path d="M10.6 2.8v3.2c0 .6.4 1 1 1h3.1"/>',
  lock: '<rect x="4.4" y="8.8" width="11.2" height="8.4" rx="2.2"/><path d="M7 8.8V6.4a3 3 0 0 1 6 0v2.4"/><path d="M10 12.2v1.7"/>',
  sun: '<circle cx="10" cy="10" r="3.3"/><path d="M10 2.4v1.7M10 15.9v1.7M2.4 10h1.7M15.9 10h1.7M4.6 4.6l1.2 1.2M14.2 14.2l1.2 1.2M4.6 15.4l1.2-1.2M14.2 5.8l1.2-1.2"/>',
  moon: '<path fill="currentColor" stroke="none" d="M16.4 12.4A6.9 6.9 0 0 1 7.6 3.6a.6.6 0 0 0-.8-.7 7.6 7.6 0 1 0 10.3 10.3.6.6 0 0 0-.7-.8Z"/>',
  download: '<path d="M10 3.2v9.2"/><path d="M6.3 8.9 10 12.6l3.7-3.7"/><path d="M4 16.6h12"/>',
  chevron: '<path d="m6 8 4 4 4-4"/>',
  search: '<circle cx="8.6" cy="8.6" r="5.4"/><path d="m12.6 12.6 4.6 4.6"/>',
  open: '<path d="M11.6 3.4h5v5"/><path d="M16.6 3.4 9.8 10.2"/><path d="M14.6 11.8v3.4c0 1-.8 1.8-1.8 1.8H5.2c-1 0-1.8-.8-1.8-1.8V7.6c0-1 .8-1.8 1.8-1.8h3.4"/>',
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

function byId(id) {
  return document.getElementById(id);
}
