// Previews: a photo, a video or a song, the start of a text, or a PDF in a tab of its own, shown at the
// top of the inspector; and the thumbnails of photos in the columns. Everything comes from the file's
// view form (?view=1), which the server answers inline only for the types a browser shows without
// running anything, and from its thumbnail form (?thumb=1).

const TEXT_PREVIEW_BYTES = 65536;

function suffixSet(text) {
  return new Set(text.split(' '));
}

const PREVIEW_SUFFIXES = {
  image: suffixSet('jpg jpeg png gif webp avif bmp heic heif tif tiff'),
  video: suffixSet('mp4 m4v webm ogv mov mkv avi mpg mpeg mts m2ts 3gp wmv flv'),
  audio: suffixSet('mp3 m4a aac ogg oga opus wav flac weba'),
  pdf: suffixSet('pdf'),
  text: suffixSet(
    'txt md markdown log csv tsv json yaml yml toml ini conf cfg properties env c h cc cpp cxx hpp hh m mm ' +
      'swift rs go py rb pl java kt kts scala cs sh bash zsh fish ps1 sql r lua dart ts gradle cmake mk ' +
      'patch diff tex rst adoc srt vtt css'
  ),
};
// Names without a suffix that are text by custom; the server's answer has the last word.
const TEXT_NAMES = suffixSet('readme makefile dockerfile changelog authors copying license notice todo');
const THUMBNAIL_SUFFIXES = suffixSet('jpg jpeg png gif webp bmp tif tiff heic heif');

function nameSuffix(name) {
  const dot = name.lastIndexOf('.');
  return dot > 0 ? name.slice(dot + 1).toLowerCase() : '';
}

function previewKind(name) {
  const suffix = nameSuffix(name);
  if (!suffix) return TEXT_NAMES.has(name.toLowerCase()) ? 'text' : null;
  return Object.keys(PREVIEW_SUFFIXES).find((kind) => PREVIEW_SUFFIXES[kind].has(suffix)) || null;
}

function fileFormURL(share, relativePath, form) {
  return shareURL(share.slug, relativePath, false) + '?' + form + '=1';
}

function previewMarkup(kind, name, viewURL, thumbURL) {
  const view = escapeHTML(viewURL);
  switch (kind) {
    case 'image':
      return (
        '<a class="preview-image-link" href="' +
        view +
        '" target="_blank" rel="noopener" title="Open full size">' +
        '<img class="preview-image" src="' +
        escapeHTML(thumbURL) +
        '" alt="' +
        escapeHTML(name) +
        '"></a>'
      );
    case 'audio':
      return '<audio class="preview-audio" controls preload="metadata" src="' + view + '"></audio>';
    case 'text':
      return (
        '<pre class="preview-text" tabindex="0" aria-label="' +
        escapeHTML('Start of ' + name) +
        '" aria-busy="true"></pre><p class="preview-note" hidden>Showing the first 64 KB.</p>'
      );
    case 'pdf':
      return (
        '<div class="preview-document"><span class="preview-document-icon">' +
        icon('file') +
        '</span><span class="preview-document-copy"><strong>PDF document</strong>' +
        '<span>Opens in a new tab.</span></span>' +
        '<a class="primary-button" href="' +
        view +
        '" target="_blank" rel="noopener">' +
        icon('open') +
        '<span>Open</span></a></div>'
      );
    default:
      return '';
  }
}

// The thumbnail shows first; the display-size image (the file itself from a server that makes none),
// asked for once the thumbnail is in (or a moment has passed), takes its place when it has arrived.
// Without either the preview goes, and the card's icon is what remains.
const FULL_IMAGE_DELAY = 300; // ms the full image waits for the thumbnail at most

function startImagePreview(card, viewURL, previewURL) {
  const image = card.querySelector('.preview-image');
  const full = new Image();
  let thumbnailFailed = false;
  let fullFailed = false;
  const giveUpIfBoth = () => {
    if (thumbnailFailed && fullFailed) card.remove();
  };
  const loadFull = () => {
    if (!full.src && image.isConnected) full.src = previewURL;
  };
  image.addEventListener('load', loadFull, { once: true });
  image.addEventListener('error', () => {
    thumbnailFailed = true;
    image.classList.add('is-waiting');
    giveUpIfBoth();
    loadFull();
  });
  window.setTimeout(loadFull, FULL_IMAGE_DELAY);
  full.addEventListener('load', () => {
    if (!image.isConnected) return;
    image.src = full.src;
    image.classList.remove('is-waiting');
    image.classList.add('is-full');
  });
  full.addEventListener('error', () => {
    if (full.src.endsWith('?preview=1')) {
      full.src = viewURL;
      return;
    }
    fullFailed = true;
    giveUpIfBoth();
  });
}

function showUnplayable(card) {
  if (card.isConnected) card.innerHTML = '<p class="preview-note">This file cannot be played in the browser.</p>';
}

function startMediaPreview(card) {
  card.querySelector('audio').addEventListener('error', () => showUnplayable(card));
}

function startVideoPreview(card, share, relativePath) {
  const player = videoPlayer(share, relativePath, { className: 'preview-media', onFailed: () => showUnplayable(card) });
  card.appendChild(player.element);
}

// The first 64 KB of the text, fetched as a range (a server without ranges sends it all, and reading
// simply stops there). The text goes into the page as text, never as markup.
async function startTextPreview(card, viewURL) {
  const text = card.querySelector('.preview-text');
  const note = card.querySelector('.preview-note');
  let response;
  try {
    response = await fetch(viewURL, {
      credentials: 'same-origin',
      headers: { Range: 'bytes=0-' + (TEXT_PREVIEW_BYTES - 1) },
    });
  } catch (error) {
    card.remove();
    return;
  }
  // An empty file has no first byte to ask for.
  if (response.status === 416) {
    text.removeAttribute('aria-busy');
    return;
  }
  // Only what the server calls text is shown as text.
  const type = response.headers.get('Content-Type') || '';
  if (!response.ok || !type.startsWith('text/plain') || !response.body) {
    card.remove();
    return;
  }
  const reader = response.body.getReader();
  const chunks = [];
  let received = 0;
  while (received <= TEXT_PREVIEW_BYTES && card.isConnected) {
    const { done, value } = await reader.read();
    if (done) break;
    chunks.push(value);
    received += value.length;
  }
  reader.cancel().catch(() => {});
  if (!card.isConnected) return;
  const bytes = new Uint8Array(Math.min(received, TEXT_PREVIEW_BYTES));
  let offset = 0;
  for (const chunk of chunks) {
    const part = chunk.subarray(0, bytes.length - offset);
    bytes.set(part, offset);
    offset += part.length;
    if (offset === bytes.length) break;
  }
  const whole = /\/(\d+)$/.exec(response.headers.get('Content-Range') || '');
  const cut = received > TEXT_PREVIEW_BYTES || (whole !== null && Number(whole[1]) > TEXT_PREVIEW_BYTES);
  // A character cut in two at the end is left out rather than shown as a replacement mark.
  text.textContent = new TextDecoder('utf-8').decode(bytes, { stream: cut });
  text.removeAttribute('aria-busy');
  note.hidden = !cut;
}

// Puts the selected file's preview at the top of the inspector, when it has one.
function showPreview(body, share, meta) {
  releaseLostStreams();
  if (meta.isDirectory === true || typeof meta.relativePath !== 'string') return;
  const name = typeof meta.name === 'string' ? meta.name : lastComponent(meta.relativePath);
  const kind = previewKind(name);
  if (!kind) return;
  const viewURL = fileFormURL(share, meta.relativePath, 'view');
  const card = document.createElement('div');
  card.className = 'inspector-card preview-card';
  card.dataset.kind = kind;
  card.innerHTML = previewMarkup(kind, name, viewURL, fileFormURL(share, meta.relativePath, 'thumb'));
  body.prepend(card);
  if (kind === 'image') startImagePreview(card, viewURL, fileFormURL(share, meta.relativePath, 'preview'));
  else if (kind === 'video') startVideoPreview(card, share, meta.relativePath);
  else if (kind === 'audio') startMediaPreview(card);
  else if (kind === 'text') startTextPreview(card, viewURL);
}

// A photo's row shows its thumbnail in place of the icon once it has arrived; rows exist only while
// they are in view, so only those ask for one. Without a thumbnail the icon stays.
function addRowThumbnail(row, item) {
  const share = currentShare();
  if (!share || itemIsFolder(item) || !THUMBNAIL_SUFFIXES.has(nameSuffix(itemName(item)))) return;
  const slot = row.querySelector('.column-entry-icon');
  if (!slot) return;
  const image = document.createElement('img');
  image.className = 'column-entry-thumb';
  image.alt = '';
  image.loading = 'lazy';
  image.decoding = 'async';
  image.addEventListener('load', () => slot.classList.add('has-thumb'), { once: true });
  image.addEventListener('error', () => image.remove(), { once: true });
  image.src = fileFormURL(share, itemPath(item), 'thumb');
  slot.appendChild(image);
}

hooks.rowDrawn.push(addRowThumbnail);
