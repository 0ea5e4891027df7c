// The inspector: the share's card without a selection, the selected item's details and actions
// with one. It follows the column browser's selection through its hook.

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

function shareCardMarkup(share, count) {
  const rootURL = shareURL(share.slug, '', true);
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

const EMPTY_INSPECTOR = '<div class="inspector-empty">Pick a folder or file to see details here.</div>';

let inspectorGeneration = 0;

function showEmptyInspector() {
  inspectorGeneration += 1;
  const body = byId('inspector-body');
  if (body) body.innerHTML = EMPTY_INSPECTOR;
}

// Paints the card for a new selection once its metadata arrives; a failed request keeps what the
// inspector showed before, and an answer for an older selection is dropped.
async function showInspector({ share, selection, metadata, items }) {
  const generation = (inspectorGeneration += 1);
  if (selection === null || !metadata) {
    const body = byId('inspector-body');
    if (body) body.innerHTML = shareCardMarkup(share, items.length);
    return;
  }
  let meta;
  try {
    meta = await metadata;
  } catch (error) {
    return;
  }
  if (generation !== inspectorGeneration || !meta || typeof meta !== 'object') return;
  const body = byId('inspector-body');
  if (!body) return;
  body.innerHTML = itemCardsMarkup(share, meta);
  showPreview(body, share, meta);
}

hooks.selectionChanged.push(showInspector);
