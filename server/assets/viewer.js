// The viewer: a folder's photos and videos one at a time over the whole page, stepped through with a
// swipe, the arrow keys or its buttons. A photo shows at display size (?preview=1, or the file itself
// from a server without it), and at full size on demand; a video plays in the browser's player. The
// photos before and after are fetched ahead, so a step shows its photo at once. The viewer's item is
// in the URL (the folder's URL with ?view=NAME), so a link opens it and Back closes it.

const VIEWER_SWIPE_SHARE = 0.18; // of the width a finger must travel to step, unless flicked
const VIEWER_FLICK_SPEED = 0.45; // px per ms that steps however short the swipe
const VIEWER_CLOSE_DRAG = 110; // px downwards that closes
const VIEWER_STEP_ANIMATION = 160; // ms

const viewer = {
  element: null,
  share: null,
  folder: '',
  items: [], // the folder's photos and videos
  index: 0,
  slides: [], // three slide elements: before, current, after
  pushed: false, // whether opening added a history entry (which closing then goes back over)
  touch: null,
  ahead: new Map(), // URL → Image, the photos fetched ahead and kept until they are far away
  pendingName: null, // opened by the URL before the folder's listing had arrived
  closedByBack: false, // the viewer went back over its own history entry, whose step is due
};

function viewerIsOpen() {
  return !!viewer.element;
}

function viewerURL(share, folder, name) {
  return shareURL(share.slug, folder, true) + '?view=' + encodeComponent(name);
}

function viewerItemURL(item, form) {
  return fileFormURL(viewer.share, itemPath(item), form);
}

function viewerMarkup() {
  return (
    '<div class="viewer-bar">' +
    '<button type="button" class="viewer-button viewer-close" data-viewer="close" aria-label="Close">' +
    icon('close') +
    '</button>' +
    '<div class="viewer-title"><span class="viewer-name"></span><span class="viewer-counter"></span></div>' +
    '<div class="viewer-actions">' +
    '<button type="button" class="viewer-button viewer-full" data-viewer="full" aria-pressed="false">' +
    icon('expand') +
    '<span>Full size</span></button>' +
    '<a class="viewer-button viewer-download" href="">' +
    icon('download') +
    '<span>Download</span></a>' +
    '</div></div>' +
    '<div class="viewer-stage"><div class="viewer-track">' +
    '<div class="viewer-slide" aria-hidden="true"></div><div class="viewer-slide"></div>' +
    '<div class="viewer-slide" aria-hidden="true"></div>' +
    '</div>' +
    '<button type="button" class="viewer-nav viewer-previous" data-viewer="previous" aria-label="Previous">' +
    icon('back') +
    '</button>' +
    '<button type="button" class="viewer-nav viewer-next" data-viewer="next" aria-label="Next">' +
    icon('forward') +
    '</button></div>' +
    '<p class="visually-hidden viewer-status" role="status"></p>'
  );
}

// Opens the viewer on `name` among `items` (a folder's listing). options.push: false when the URL
// names the item already.
function openViewer({ share, folder, items, name, push = true }) {
  const media = items.filter((item) => mediaKind(item));
  const index = media.findIndex((item) => itemName(item) === name);
  if (index < 0) return false;
  const wasOpen = viewerIsOpen();
  if (!wasOpen) buildViewer();
  Object.assign(viewer, { share, folder, items: media, index });
  const url = viewerURL(share, folder, name);
  if (push && wasOpen) {
    window.history.replaceState(window.history.state, '', url);
  } else if (push) {
    window.history.pushState(historyMark({ viewer: true }), '', url);
    viewer.pushed = true;
  } else {
    viewer.pushed = !!(window.history.state && window.history.state.viewer);
  }
  showViewerItem(0);
  viewer.element.focus({ preventScroll: true });
  return true;
}

function buildViewer() {
  const element = document.createElement('div');
  element.className = 'viewer';
  element.setAttribute('role', 'dialog');
  element.setAttribute('aria-modal', 'true');
  element.tabIndex = -1;
  element.innerHTML = viewerMarkup();
  document.body.appendChild(element);
  viewer.element = element;
  viewer.slides = [...element.querySelectorAll('.viewer-slide')];
  const app = byId('app');
  if (app) app.inert = true;
  document.documentElement.classList.add('has-viewer');
  element.addEventListener('click', handleViewerClick);
  // On the document: a key pressed after the focused button went away (the last photo's Next) still
  // reaches the viewer.
  document.addEventListener('keydown', handleViewerKey);
  const stage = element.querySelector('.viewer-stage');
  stage.addEventListener('touchstart', handleTouchStart, { passive: true });
  stage.addEventListener('touchmove', handleTouchMove, { passive: false });
  stage.addEventListener('touchend', handleTouchEnd);
  stage.addEventListener('touchcancel', () => settleTrack(0));
}

// Closes the viewer. options.history: false when the history moved already (Back was pressed).
function closeViewer({ history = true } = {}) {
  if (!viewer.element) return;
  const current = viewer.items[viewer.index];
  for (const video of viewer.element.querySelectorAll('video')) video.pause();
  viewer.element.remove();
  viewer.element = null;
  releaseLostStreams();
  document.removeEventListener('keydown', handleViewerKey);
  viewer.slides = [];
  viewer.ahead.clear();
  const app = byId('app');
  if (app) app.inert = false;
  document.documentElement.classList.remove('has-viewer');
  if (history) {
    // The step back that follows only takes the viewer's entry away: nothing else changes.
    if (viewer.pushed) {
      viewer.closedByBack = true;
      window.history.back();
    } else {
      window.history.replaceState(window.history.state, '', shareURL(viewer.share.slug, viewer.folder, true));
    }
  }
  // The focus goes to the tile or row of what was seen last.
  if (current) returnToTile(itemPath(current));
}

// Shows the item at viewer.index in the middle slide, its neighbours on either side. `direction`
// (+1, -1 or 0) says which way the step went, so the slide already holding the new item is reused.
function showViewerItem(direction) {
  const [before, middle, after] = viewer.slides;
  if (direction > 0) viewer.slides = [middle, after, before];
  else if (direction < 0) viewer.slides = [after, before, middle];
  viewer.slides.forEach((slide, position) => {
    slide.dataset.position = String(position - 1);
    if (position === 1) slide.removeAttribute('aria-hidden');
    else slide.setAttribute('aria-hidden', 'true');
    fillSlide(slide, viewer.items[viewer.index + position - 1], position === 1);
  });
  const item = viewer.items[viewer.index];
  const name = itemName(item);
  const element = viewer.element;
  element.setAttribute('aria-label', name);
  element.querySelector('.viewer-name').textContent = name;
  element.querySelector('.viewer-name').title = name;
  const counter =
    numberFormat.format(viewer.index + 1) + ' of ' + numberFormat.format(viewer.items.length);
  element.querySelector('.viewer-counter').textContent = counter;
  element.querySelector('.viewer-status').textContent = direction ? name + ', ' + counter : '';
  element.querySelector('.viewer-download').href = viewerItemURL(item, 'download');
  const full = element.querySelector('.viewer-full');
  full.hidden = mediaKind(item) !== 'image';
  full.disabled = viewer.slides[1].classList.contains('is-full');
  full.setAttribute('aria-pressed', full.disabled ? 'true' : 'false');
  element.querySelector('.viewer-previous').disabled = viewer.index === 0;
  element.querySelector('.viewer-next').disabled = viewer.index === viewer.items.length - 1;
  if (!element.contains(document.activeElement)) element.focus({ preventScroll: true });
  loadAfterCurrent(direction);
}

// The photo on screen is asked for first; its neighbours and the one after them wait until it is
// in (or has failed), so they never share a slow connection with it.
function loadAfterCurrent(direction) {
  const [before, middle, after] = viewer.slides;
  const current = middle.querySelector('.viewer-image');
  const rest = () => {
    if (viewer.slides[1] !== middle) return;
    for (const slide of [before, after]) startImage(slide.querySelector('.viewer-image'));
    fetchAhead(direction);
  };
  if (!current) {
    rest();
    return;
  }
  startImage(current);
  if (current.complete) rest();
  else {
    current.addEventListener('load', rest, { once: true });
    current.addEventListener('error', rest, { once: true });
  }
}

function startImage(image) {
  if (image && !image.hasAttribute('src')) image.src = image.dataset.preview;
}

// Puts an item into a slide, unless it holds that item already.
function fillSlide(slide, item, current) {
  const path = item ? itemPath(item) : '';
  if (slide.dataset.path !== path) {
    slide.dataset.path = path;
    slide.className = 'viewer-slide';
    slide.innerHTML = '';
    if (item) slide.appendChild(mediaKind(item) === 'video' ? videoElement(slide, item) : imageElement(slide, item));
    releaseLostStreams();
  }
  const video = slide.querySelector('video');
  if (video) {
    if (current) video.preload = 'metadata';
    else video.pause();
  }
}

// The display rendition first; the file itself when the server has none; a note when neither shows.
function imageElement(slide, item) {
  const image = document.createElement('img');
  image.className = 'viewer-image';
  image.alt = itemName(item);
  image.decoding = 'async';
  image.draggable = false;
  image.addEventListener('load', () => slide.classList.add('is-loaded'));
  image.addEventListener('error', () => {
    if (image.src.endsWith('?preview=1')) image.src = viewerItemURL(item, 'view');
    else slide.replaceChildren(viewerNote('This photo cannot be shown here.'));
  });
  // Asked for once it is its turn (loadAfterCurrent).
  image.dataset.preview = viewerItemURL(item, 'preview');
  return image;
}

function videoElement(slide, item) {
  const onFailed = () => {
    if (slide.dataset.path === itemPath(item)) slide.replaceChildren(viewerNote('This video cannot be played in the browser.'));
  };
  return videoPlayer(viewer.share, itemPath(item), { className: 'viewer-video', preload: 'none', onFailed }).element;
}

function viewerNote(text) {
  const note = document.createElement('p');
  note.className = 'viewer-note';
  note.textContent = text;
  return note;
}

// The neighbours' slides load themselves; one more photo in the direction of travel is fetched too,
// and photos left far behind are let go.
function fetchAhead(direction) {
  const keep = new Set();
  const next = viewer.items[viewer.index + (direction < 0 ? -2 : 2)];
  if (next && mediaKind(next) === 'image') {
    const url = viewerItemURL(next, 'preview');
    keep.add(url);
    if (!viewer.ahead.has(url)) {
      const image = new Image();
      image.decoding = 'async';
      image.src = url;
      viewer.ahead.set(url, image);
    }
  }
  for (const offset of [-1, 0, 1]) {
    const item = viewer.items[viewer.index + offset];
    if (item) keep.add(viewerItemURL(item, 'preview'));
  }
  for (const url of viewer.ahead.keys()) if (!keep.has(url)) viewer.ahead.delete(url);
}

function stepViewer(delta, { animateFrom = null } = {}) {
  const index = viewer.index + delta;
  if (!viewer.element || index < 0 || index >= viewer.items.length) {
    settleTrack(0);
    return;
  }
  viewer.index = index;
  showViewerItem(delta);
  const name = itemName(viewer.items[index]);
  window.history.replaceState(window.history.state, '', viewerURL(viewer.share, viewer.folder, name));
  // A swipe lets go where the finger was: the new photo slides in from there.
  if (animateFrom !== null) {
    moveTrack(animateFrom + delta * viewer.element.clientWidth, false);
    settleTrack(0);
  }
}

function showFullSize() {
  const slide = viewer.slides[1];
  const item = viewer.items[viewer.index];
  const image = slide && slide.querySelector('.viewer-image');
  if (!image || mediaKind(item) !== 'image') return;
  const full = viewer.element.querySelector('.viewer-full');
  full.disabled = true;
  full.setAttribute('aria-pressed', 'true');
  slide.classList.add('is-full');
  const url = viewerItemURL(item, 'view');
  const loader = new Image();
  loader.addEventListener('load', () => {
    if (image.isConnected) image.src = url;
  });
  loader.src = url;
}

function handleViewerClick(event) {
  const control = event.target.closest('[data-viewer]');
  if (!control) return;
  switch (control.dataset.viewer) {
    case 'close':
      closeViewer();
      break;
    case 'previous':
      stepViewer(-1);
      break;
    case 'next':
      stepViewer(1);
      break;
    case 'full':
      showFullSize();
      break;
    default:
      break;
  }
}

function handleViewerKey(event) {
  if (event.altKey || event.ctrlKey || event.metaKey) return;
  // Keys meant for a focused video player stay with it.
  const inPlayer = event.target instanceof HTMLMediaElement || event.target.classList?.contains('video-seek');
  switch (event.key) {
    case 'Escape':
      closeViewer();
      break;
    case 'ArrowRight':
      if (inPlayer) return;
      stepViewer(1);
      break;
    case 'ArrowLeft':
      if (inPlayer) return;
      stepViewer(-1);
      break;
    case 'Home':
      if (inPlayer) return;
      stepViewer(-viewer.index);
      break;
    case 'End':
      if (inPlayer) return;
      stepViewer(viewer.items.length - 1 - viewer.index);
      break;
    case 'Tab':
      keepFocusInside(event);
      return;
    default:
      return;
  }
  event.preventDefault();
}

// The page behind is inert; Tab still must not leave the dialog for the browser's own controls.
function keepFocusInside(event) {
  const focusable = [...viewer.element.querySelectorAll('button:not([disabled]):not([hidden]), a[href], video[controls], input')].filter(
    (element) => element.offsetParent !== null
  );
  if (!focusable.length) return;
  const first = focusable[0];
  const last = focusable[focusable.length - 1];
  if (event.shiftKey && (document.activeElement === first || document.activeElement === viewer.element)) {
    last.focus();
    event.preventDefault();
  } else if (!event.shiftKey && document.activeElement === last) {
    first.focus();
    event.preventDefault();
  }
}

function moveTrack(offset, vertical) {
  const track = viewer.element.querySelector('.viewer-track');
  track.classList.remove('is-settling');
  track.style.transform = vertical ? 'translate3d(0,' + offset + 'px,0)' : 'translate3d(' + offset + 'px,0,0)';
}

function settleTrack(offset) {
  if (!viewer.element) return;
  const track = viewer.element.querySelector('.viewer-track');
  // The starting point must be drawn before the move to the end can be animated.
  void track.offsetWidth;
  track.classList.add('is-settling');
  track.style.transform = offset ? 'translate3d(' + offset + 'px,0,0)' : '';
}

// Pinch-zooming is the browser's; a swipe steps only while the page is at its own scale.
function pageIsZoomed() {
  return !!window.visualViewport && window.visualViewport.scale > 1.01;
}

// The bar along a video's bottom edge holds its player's controls.
const VIDEO_CONTROLS_HEIGHT = 64;

function handleTouchStart(event) {
  const touch = event.touches[0];
  const video = event.target.closest('video');
  const onControls = video && touch.clientY > video.getBoundingClientRect().bottom - VIDEO_CONTROLS_HEIGHT;
  const onOwnControls = event.target.closest('.video-controls');
  if (event.touches.length !== 1 || pageIsZoomed() || event.target.closest('button') || onControls || onOwnControls) {
    viewer.touch = null;
    return;
  }
  viewer.touch = { x: touch.clientX, y: touch.clientY, at: event.timeStamp, axis: null, dx: 0, dy: 0 };
}

function handleTouchMove(event) {
  const touch = viewer.touch;
  if (!touch) return;
  if (event.touches.length !== 1) {
    viewer.touch = null;
    settleTrack(0);
    return;
  }
  touch.dx = event.touches[0].clientX - touch.x;
  touch.dy = event.touches[0].clientY - touch.y;
  if (!touch.axis && Math.hypot(touch.dx, touch.dy) > 8) {
    touch.axis = Math.abs(touch.dx) > Math.abs(touch.dy) ? 'x' : 'y';
  }
  if (!touch.axis) return;
  event.preventDefault();
  if (touch.axis === 'x') {
    // Past the first or last item the track follows the finger only halfway.
    const atEnd = (touch.dx > 0 && viewer.index === 0) || (touch.dx < 0 && viewer.index === viewer.items.length - 1);
    moveTrack(atEnd ? touch.dx / 2 : touch.dx, false);
  } else if (touch.dy > 0) {
    moveTrack(touch.dy, true);
  }
}

function handleTouchEnd(event) {
  const touch = viewer.touch;
  viewer.touch = null;
  if (!touch || !touch.axis) return;
  const speed = Math.abs(touch.axis === 'x' ? touch.dx : touch.dy) / Math.max(1, event.timeStamp - touch.at);
  if (touch.axis === 'y') {
    if (touch.dy > VIEWER_CLOSE_DRAG) closeViewer();
    else settleTrack(0);
    return;
  }
  const width = viewer.element.clientWidth;
  const distance = Math.abs(touch.dx);
  const far = distance > width * VIEWER_SWIPE_SHARE || (speed > VIEWER_FLICK_SPEED && distance > 30);
  if (far) stepViewer(touch.dx < 0 ? 1 : -1, { animateFrom: touch.dx });
  else settleTrack(0);
}

// Opens, steps or closes the viewer as a history step says; true when that was all the step did.
function viewerFollowsLocation() {
  const name = new URLSearchParams(window.location.search).get('view');
  const share = currentShare();
  if (viewer.closedByBack) {
    viewer.closedByBack = false;
    return true;
  }
  if (viewerIsOpen()) {
    const folderPath = shareURL(viewer.share.slug, viewer.folder, true);
    if (name !== null && window.location.pathname === folderPath) {
      const index = viewer.items.findIndex((item) => itemName(item) === name);
      if (index >= 0) {
        stepViewer(index - viewer.index);
        return true;
      }
    }
    closeViewer({ history: false });
    return window.location.pathname === folderPath;
  }
  if (name === null) return false;
  const last = columns.list[columns.list.length - 1];
  if (share && last && window.location.pathname === shareURL(share.slug, last.path, true)) {
    return openViewer({ share, folder: last.path, items: last.items, name, push: false });
  }
  viewer.pendingName = name;
  return false;
}

// A link with ?view=NAME opens the viewer once the folder's listing is there; a name that is not a
// photo or video of the folder leaves the folder as it is.
function openViewerFromLink(change) {
  const name = viewer.pendingName;
  viewer.pendingName = null;
  if (name === null || viewerIsOpen() || !change.share) return;
  const last = columns.list[columns.list.length - 1];
  if (!last || window.location.pathname !== shareURL(change.share.slug, last.path, true)) return;
  if (!openViewer({ share: change.share, folder: last.path, items: last.items, name, push: false })) {
    window.history.replaceState(window.history.state, '', shareURL(change.share.slug, last.path, true));
  }
}

// Enter or a double click on a photo's or video's row, or a tap on one on a phone.
function openViewerFromRow(column, index) {
  const item = column.items[index];
  const share = currentShare();
  if (!share || column.path === null || !mediaKind(item)) return false;
  return openViewer({ share, folder: column.path, items: column.items, name: itemName(item) });
}

function startViewer() {
  viewer.pendingName = new URLSearchParams(window.location.search).get('view');
  hooks.selectionChanged.push(openViewerFromLink);
  const app = byId('app');
  app.addEventListener('dblclick', (event) => {
    const target = pickTarget(event.target);
    if (target && event.target.closest('.column-entry')) {
      const column = columns.list.find((entry) => entry.path === target.folder);
      if (column) openViewerFromRow(column, target.index);
    }
  });
  // On a phone the photo on a file's page opens the viewer rather than a tab of its own.
  app.addEventListener('click', (event) => {
    const link = event.target.closest('.preview-image-link');
    if (!link || !isPhoneLayout() || event.ctrlKey || event.metaKey || event.shiftKey) return;
    const selection = state.selectedRelativePath;
    const column = columns.list.find((entry) => entry.path === parentPath(selection || ''));
    const index = column ? column.indexOf(selection) : -1;
    if (index >= 0 && openViewerFromRow(column, index)) event.preventDefault();
  });
  window.visualViewport?.addEventListener('resize', () => {
    if (viewer.element) viewer.element.classList.toggle('is-zoomed', pageIsZoomed());
  });
}
