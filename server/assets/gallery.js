// The grid: the open folder's entries as tiles (photos and videos as their thumbnails, everything else
// as its icon and name), and the toggle between it and the columns. As in a column, only the rows of
// tiles in view, and a few beyond, exist in the page, so a folder of 10,000 photos costs what a
// screenful does. A tile asks for its thumbnail only once it has been on screen for a moment (a fling
// past it asks for nothing), and a tile that scrolls away before its thumbnail arrived drops the
// request.

const VIEW_MODE_KEY = 'quarry-share-view';
const VIEW_MODES_KEPT = 200; // shares whose choice is remembered
const GRID_MARGIN_ROWS = 2; // rows of tiles kept beyond each edge of the view
const THUMBNAIL_PASS_DELAY = 110; // ms between two looks at which tiles are on screen while scrolling
const VIDEO_SUFFIXES = PREVIEW_SUFFIXES.video;

let gridSerial = 0;

// The drawings the grid, the viewer, picking and the phone's back control add to the client's icons.
Object.assign(ICON_PATHS, {
  columns: '<rect x="2.8" y="3.6" width="14.4" height="12.8" rx="2.2"/><path d="M7.6 3.6v12.8M12.4 3.6v12.8"/>',
  grid:
    '<rect x="3" y="3" width="5.8" height="5.8" rx="1.4"/><rect x="11.2" y="3" width="5.8" height="5.8" rx="1.4"/>' +
    '<rect x="3" y="11.2" width="5.8" height="5.8" rx="1.4"/>' +
    '<rect x="11.2" y="11.2" width="5.8" height="5.8" rx="1.4"/>',
  play:
    '<path fill="currentColor" stroke="none" ' +
    'd="M7 4.6v10.8c0 .6.7 1 1.2.7l8.2-5.4c.5-.3.5-1 0-1.4L8.2 3.9c-.5-.3-1.2.1-1.2.7Z"/>',
  video: '<rect x="2.6" y="5.2" width="10.6" height="9.6" rx="2"/><path d="m13.2 8.6 4.2-2.4v7.6l-4.2-2.4"/>',
  image:
    '<rect x="2.8" y="3.6" width="14.4" height="12.8" rx="2.2"/><circle cx="7.4" cy="8" r="1.5"/>' +
    '<path d="m3.4 14.6 4.2-4.2 3 3 2.4-2.4 3.6 3.6"/>',
  check: '<path d="m4.4 10.4 3.6 3.6 7.6-8"/>',
  close: '<path d="M5 5l10 10M15 5 5 15"/>',
  back: '<path d="M12.4 4.4 6.8 10l5.6 5.6"/>',
  forward: '<path d="M7.6 4.4 13.2 10l-5.6 5.6"/>',
  expand: '<path d="M11.8 3.4h4.8v4.8M16.6 3.4l-5 5M8.2 16.6H3.4v-4.8M3.4 16.6l5-5"/>',
});

// 'image' or 'video' for what the viewer shows, else null.
function mediaKind(item) {
  if (!item || itemIsFolder(item)) return null;
  const kind = previewKind(itemName(item));
  return kind === 'image' || kind === 'video' ? kind : null;
}

function mayHaveTileThumbnail(item) {
  const suffix = nameSuffix(itemName(item));
  return !itemIsFolder(item) && (THUMBNAIL_SUFFIXES.has(suffix) || VIDEO_SUFFIXES.has(suffix));
}

function mostlyMedia(items) {
  let media = 0;
  for (const item of items) if (mediaKind(item)) media += 1;
  return media > 0 && media * 2 > items.length;
}

function readViewModes() {
  try {
    const value = JSON.parse(window.localStorage.getItem(VIEW_MODE_KEY) || '{}');
    return value && typeof value === 'object' && !Array.isArray(value) ? value : {};
  } catch (error) {
    return {};
  }
}

function storeViewMode(slug, mode) {
  const modes = readViewModes();
  delete modes[slug];
  modes[slug] = mode;
  const slugs = Object.keys(modes);
  for (const old of slugs.slice(0, Math.max(0, slugs.length - VIEW_MODES_KEPT))) delete modes[old];
  try {
    window.localStorage.setItem(VIEW_MODE_KEY, JSON.stringify(modes));
  } catch (error) {
    // Without storage the choice lasts for this page.
  }
}

const gallery = {
  view: null, // the GridView on screen, when the grid is shown
  chosen: {}, // slug → the mode chosen on this page, when storage is unavailable
};

// The mode a folder opens in: the visitor's choice for the share, else the grid for a folder of
// mostly photos and videos on a phone, else the columns.
function viewModeFor(share, items) {
  const chosen = gallery.chosen[share.slug] || readViewModes()[share.slug];
  if (chosen === 'grid' || chosen === 'columns') return chosen;
  return isPhoneLayout() && mostlyMedia(items) ? 'grid' : 'columns';
}

function viewToggleMarkup() {
  const button = (mode, label) =>
    '<button type="button" class="toolbar-button view-toggle-button" data-action="view-mode" data-mode="' +
    mode +
    '" aria-pressed="false">' +
    icon(mode) +
    '<span>' +
    label +
    '</span></button>';
  return (
    '<div class="view-toggle" role="group" aria-label="Show as">' +
    button('columns', 'Columns') +
    button('grid', 'Grid') +
    '</div>'
  );
}

// A photo's or video's picture comes when its thumbnail is asked for: an image without one would be
// drawn as its alternative text meanwhile, which costs a fling through the grid several times over.
function tileMarkup(item, kind) {
  if (kind) {
    return (
      '<span class="grid-tile-art"></span>' +
      (kind === 'video' ? '<span class="grid-tile-badge" aria-hidden="true">' + icon('play') + '</span>' : '')
    );
  }
  return (
    '<span class="grid-tile-art">' +
    icon(itemIsFolder(item) ? 'folder' : 'file') +
    '</span><span class="grid-tile-name">' +
    escapeHTML(itemName(item)) +
    '</span>'
  );
}

class GridView {
  // `items` are the folder's listing items; `onActivate(view, index, event)` runs on a click.
  constructor({ share, path, title, items, onActivate }) {
    this.share = share;
    this.path = path;
    this.items = items;
    this.id = 'grid-' + (gridSerial += 1);
    this.marked = -1;
    this.rows = new Map(); // row → row element, for the rows in the page now
    this.tiles = new Map(); // index → tile element, for the tiles in those rows
    this.firstRow = 0; // the window of rows drawn last
    this.lastRow = -1;
    this.columns = 1;
    this.pitch = 1;
    this.tileSize = 0;
    this.gap = 0;
    this.width = 0;
    this.viewHeight = 0;
    this.pathIndex = null;
    this.passTimer = 0;
    this.passTop = 0;

    this.element = document.createElement('section');
    this.element.className = 'grid-view';
    this.element.innerHTML =
      '<div class="grid-title" id="' +
      this.id +
      '-title" title="' +
      escapeHTML(title) +
      '">' +
      escapeHTML(title) +
      '</div>' +
      (items.length ? '' : '<div class="empty-browser">Empty folder</div>') +
      '<div class="grid-list" role="listbox" tabindex="0" aria-labelledby="' +
      this.id +
      '-title"><div class="grid-rows"></div></div>';
    this.list = this.element.querySelector('.grid-list');
    this.spacer = this.list.firstElementChild;
    this.list.addEventListener(
      'scroll',
      () => {
        this.draw();
        this.scheduleThumbnails();
      },
      { passive: true }
    );
    this.list.addEventListener('click', (event) => {
      const tile = event.target.closest('.grid-tile');
      if (tile && this.list.contains(tile)) onActivate(this, Number(tile.dataset.index), event);
    });
  }

  attach() {
    // A new height (a phone's address bar coming and going) only shows more or fewer rows; a new
    // width lays the tiles out anew.
    this.resizeObserver = new ResizeObserver(() => {
      if (this.list.clientWidth !== this.width) this.layout();
      else if (this.list.clientHeight !== this.viewHeight) this.viewHeight = this.list.clientHeight;
      else return;
      this.draw();
      this.loadThumbnails();
    });
    this.resizeObserver.observe(this.list);
    this.layout();
    this.draw();
    this.loadThumbnails();
  }

  destroy() {
    if (this.resizeObserver) this.resizeObserver.disconnect();
    window.clearTimeout(this.passTimer);
    for (const row of [...this.rows.keys()]) this.dropRow(row);
    this.element.remove();
  }

  // Tiles as wide as the row allows for at least the smallest size, and square. A new width lays
  // every row out anew, keeping the first row in view where it was.
  layout() {
    const firstIndex = Math.floor(this.list.scrollTop / this.pitch) * this.columns;
    const style = getComputedStyle(this.list);
    this.width = this.list.clientWidth;
    this.viewHeight = this.list.clientHeight;
    const inner = this.width - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
    const phone = isPhoneLayout();
    this.gap = phone ? 3 : 10;
    const smallest = phone ? 104 : 150;
    this.columns = Math.max(2, Math.floor((inner + this.gap) / (smallest + this.gap)));
    this.tileSize = Math.max(1, (inner - this.gap * (this.columns - 1)) / this.columns);
    this.pitch = this.tileSize + this.gap;
    const rows = Math.ceil(this.items.length / this.columns);
    this.spacer.style.height = Math.max(0, rows * this.pitch - this.gap) + 'px';
    for (const row of [...this.rows.keys()]) this.dropRow(row);
    this.firstRow = 0;
    this.lastRow = -1;
    if (firstIndex > 0) this.list.scrollTop = Math.floor(firstIndex / this.columns) * this.pitch;
  }

  rowOf(index) {
    return Math.floor(index / this.columns);
  }

  inWindow(row) {
    return row >= this.firstRow && row <= this.lastRow;
  }

  // Brings the page's rows of tiles in line with the view. The marked tile's row always stays, so
  // the list box's active tile exists wherever it scrolled.
  draw() {
    const top = this.list.scrollTop;
    const rowCount = Math.ceil(this.items.length / this.columns);
    this.firstRow = Math.max(0, Math.floor(top / this.pitch) - GRID_MARGIN_ROWS);
    this.lastRow = Math.min(rowCount - 1, Math.ceil((top + this.viewHeight) / this.pitch) + GRID_MARGIN_ROWS);
    const markedRow = this.marked >= 0 ? this.rowOf(this.marked) : -1;
    for (const row of [...this.rows.keys()]) if (!this.inWindow(row) && row !== markedRow) this.dropRow(row);
    const missing = [];
    for (let row = this.firstRow; row <= this.lastRow; row += 1) if (!this.rows.has(row)) missing.push(row);
    if (markedRow >= 0 && !this.rows.has(markedRow)) {
      missing.push(markedRow);
      missing.sort((a, b) => a - b);
    }
    // Rows stay in listing order in the page, the order a screen reader reads them in.
    let next = this.spacer.firstElementChild;
    for (const row of missing) {
      while (next && Number(next.dataset.row) < row) next = next.nextElementSibling;
      this.spacer.insertBefore(this.buildRow(row), next);
    }
  }

  // A row of tiles sits at its own offset and its tiles flow in it. (Tiles placed one by one far
  // down the list cost the browser's style pass more the further down they are.)
  buildRow(row) {
    const element = document.createElement('div');
    element.className = 'grid-row';
    element.dataset.row = String(row);
    element.style.cssText = 'top:' + row * this.pitch + 'px;height:' + this.tileSize + 'px;gap:' + this.gap + 'px';
    const end = Math.min(this.items.length, (row + 1) * this.columns);
    for (let index = row * this.columns; index < end; index += 1) element.appendChild(this.buildTile(index));
    this.rows.set(row, element);
    return element;
  }

  buildTile(index) {
    const item = this.items[index];
    const kind = mediaKind(item);
    const selected = index === this.marked;
    const tile = document.createElement('div');
    const sort = itemIsFolder(item) ? 'is-folder' : kind ? 'is-media' : 'is-file';
    tile.className = 'grid-tile ' + sort + (selected ? ' is-selected' : '');
    tile.id = this.id + '-tile-' + index;
    tile.setAttribute('role', 'option');
    tile.setAttribute('aria-selected', selected ? 'true' : 'false');
    tile.setAttribute('aria-setsize', String(this.items.length));
    tile.setAttribute('aria-posinset', String(index + 1));
    tile.dataset.index = String(index);
    tile.dataset.path = itemPath(item);
    tile.title = itemName(item);
    if (kind) tile.setAttribute('aria-label', itemName(item));
    tile.style.width = this.tileSize + 'px';
    tile.innerHTML = tileMarkup(item, kind);
    showPickState(tile, item, this.path);
    this.tiles.set(index, tile);
    return tile;
  }

  // A row that leaves the page stops loading its thumbnails.
  dropRow(row) {
    const element = this.rows.get(row);
    if (!element) return;
    for (const tile of element.children) {
      const image = tile.querySelector('.grid-tile-thumb');
      if (image && image.hasAttribute('src')) image.removeAttribute('src');
      this.tiles.delete(Number(tile.dataset.index));
    }
    element.remove();
    this.rows.delete(row);
  }

  // Looks at the tiles on screen (and a row beyond) soon, unless a look is due already.
  scheduleThumbnails() {
    if (!this.passTimer) this.passTimer = window.setTimeout(() => this.loadThumbnails(), THUMBNAIL_PASS_DELAY);
  }

  // Asks for the thumbnails of the tiles on screen now. While the view flies by faster than a
  // screenful per look, it asks for none and looks again.
  loadThumbnails() {
    window.clearTimeout(this.passTimer);
    this.passTimer = 0;
    const top = this.list.scrollTop;
    const moved = Math.abs(top - this.passTop);
    this.passTop = top;
    if (moved > this.viewHeight) {
      this.scheduleThumbnails();
      return;
    }
    // The rows in view first, then the one below and the one above: the server makes them in the
    // order asked.
    const firstRow = Math.floor(top / this.pitch);
    const lastRow = Math.ceil((top + this.viewHeight) / this.pitch) - 1;
    const rows = [];
    for (let row = firstRow; row <= lastRow + 1; row += 1) rows.push(row);
    rows.push(firstRow - 1);
    for (const row of rows) {
      for (let index = Math.max(0, row * this.columns); index < (row + 1) * this.columns; index += 1) {
        const tile = this.tiles.get(index);
        if (tile) this.loadThumbnail(tile, this.items[index]);
      }
    }
  }

  loadThumbnail(tile, item) {
    const art = tile.querySelector('.grid-tile-art');
    if (!tile.classList.contains('is-media') || art.firstChild || tile.classList.contains('has-no-thumb')) return;
    if (!mayHaveTileThumbnail(item)) {
      this.showIcon(tile, item);
      return;
    }
    const image = document.createElement('img');
    image.className = 'grid-tile-thumb';
    image.alt = itemName(item);
    image.decoding = 'async';
    image.draggable = false;
    image.addEventListener('load', () => tile.classList.add('has-thumb'), { once: true });
    image.addEventListener(
      'error',
      () => {
        if (image.hasAttribute('src')) this.showIcon(tile, item);
      },
      { once: true }
    );
    image.src = fileFormURL(this.share, itemPath(item), 'thumb');
    art.appendChild(image);
  }

  // Without a thumbnail a photo or video shows its icon and name, as other files do.
  showIcon(tile, item) {
    tile.classList.add('has-no-thumb');
    tile.removeAttribute('aria-label');
    const art = tile.querySelector('.grid-tile-art');
    art.innerHTML = icon(mediaKind(item) === 'video' ? 'video' : 'image');
    art.insertAdjacentHTML('afterend', '<span class="grid-tile-name">' + escapeHTML(itemName(item)) + '</span>');
  }

  indexOf(path) {
    if (path === null || path === undefined) return -1;
    if (!this.pathIndex) {
      this.pathIndex = new Map();
      this.items.forEach((item, index) => {
        if (!this.pathIndex.has(itemPath(item))) this.pathIndex.set(itemPath(item), index);
      });
    }
    const index = this.pathIndex.get(path);
    return index === undefined ? -1 : index;
  }

  mark(index) {
    if (index === this.marked) return;
    const old = this.tiles.get(this.marked);
    if (old) {
      old.classList.remove('is-selected');
      old.setAttribute('aria-selected', 'false');
      const row = this.rowOf(this.marked);
      if (!this.inWindow(row)) this.dropRow(row);
    }
    this.marked = index;
    if (index < 0) {
      this.list.removeAttribute('aria-activedescendant');
      return;
    }
    if (!this.tiles.has(index)) this.draw();
    const tile = this.tiles.get(index);
    tile.classList.add('is-selected');
    tile.setAttribute('aria-selected', 'true');
    this.list.setAttribute('aria-activedescendant', tile.id);
  }

  // Scrolls just enough to show a tile's row, or puts it in the middle of the view with `centre`.
  reveal(index, centre) {
    if (index < 0) return;
    const top = this.rowOf(index) * this.pitch;
    const bottom = top + this.tileSize;
    const scroll = this.list.scrollTop;
    if (top >= scroll && bottom <= scroll + this.viewHeight) return;
    if (centre) this.list.scrollTop = top - (this.viewHeight - this.tileSize) / 2;
    else this.list.scrollTop = top < scroll ? top : bottom - this.viewHeight;
    this.draw();
    this.loadThumbnails();
  }

  rowsPerPage() {
    return Math.max(1, Math.floor(this.viewHeight / this.pitch) - 1);
  }

  hasFocus() {
    return this.list === document.activeElement;
  }

  focus() {
    this.list.focus({ preventScroll: true });
  }
}

function setToggle(mode) {
  for (const button of document.querySelectorAll('.view-toggle-button')) {
    button.setAttribute('aria-pressed', button.dataset.mode === mode ? 'true' : 'false');
  }
  const stage = byId('browser-stage');
  if (stage) stage.classList.toggle('is-grid', mode === 'grid');
}

function dropGrid() {
  if (gallery.view) gallery.view.destroy();
  gallery.view = null;
}

// Shows the open folder as the grid or the columns, as its mode says; a grid of the same listing
// only moves its mark.
function followFolder(change) {
  const container = byId('browser-grid');
  const share = change.share;
  if (!container || !share) {
    dropGrid();
    return;
  }
  const mode = viewModeFor(share, change.items);
  setToggle(mode);
  if (mode !== 'grid') {
    dropGrid();
    return;
  }
  let view = gallery.view;
  if (!view || view.items !== change.items || view.share !== share) {
    const hadFocus = view ? view.hasFocus() : false;
    dropGrid();
    const folder = state.currentDirectory;
    view = new GridView({
      share,
      path: folder,
      title: lastComponent(folder) || share.name,
      items: change.items,
      onActivate: activateTile,
    });
    gallery.view = view;
    container.appendChild(view.element);
    view.attach();
    if (hadFocus) view.focus();
  }
  const marked = view.indexOf(change.selection);
  view.mark(marked);
  view.reveal(marked, false);
}

function chooseViewMode(mode) {
  const share = currentShare();
  if (!share) return;
  gallery.chosen[share.slug] = mode;
  storeViewMode(share.slug, mode);
  const last = columns.list[columns.list.length - 1];
  const items = last ? last.items : [];
  followFolder({ share, selection: state.selectedRelativePath, items });
  if (mode === 'grid' && gallery.view) gallery.view.focus();
  else if (mode === 'columns') {
    const column = activeColumn();
    if (column) {
      column.reveal(column.marked, true);
      column.focus();
    }
  }
}

// A click on a tile: picks when the visitor is picking, else opens a folder, shows a photo or video
// in the viewer, or selects any other file.
function activateTile(view, index, event) {
  const item = view.items[index];
  if (!item) return;
  if (pickFromClick(view.items, index, view.path, event)) return;
  openItem(item);
}

// Opens what an item is: a folder in its place, a photo or video in the viewer, another file
// selected (on a phone, in a page of its own).
function openItem(item) {
  const path = itemPath(item);
  if (itemIsFolder(item)) {
    showPath(path, path);
    return;
  }
  if (mediaKind(item)) {
    const share = currentShare();
    const last = columns.list[columns.list.length - 1];
    if (share && last) {
      openViewer({ share, folder: last.path, items: last.items, name: itemName(item) });
      return;
    }
  }
  showPath(parentPath(path), path);
}

// Back from the viewer: the grid (or the column) shows the tile of what was seen last, with the focus.
function returnToTile(path) {
  const view = gallery.view;
  if (view) {
    const index = view.indexOf(path);
    if (index >= 0) {
      view.mark(index);
      view.reveal(index, true);
    }
    view.focus();
    return;
  }
  const column = activeColumn();
  if (!column) return;
  const index = column.indexOf(path);
  if (index >= 0) column.reveal(index, true);
  column.focus();
}

function moveInGrid(view, index) {
  if (!view.items.length) return;
  const target = Math.max(0, Math.min(view.items.length - 1, index));
  const item = view.items[target];
  view.mark(target);
  view.reveal(target, false);
  // A step with the keys selects in place; Enter opens.
  showPath(view.path, itemPath(item), { history: 'replace', viaKeyboard: true });
}

function handleGridKey(event) {
  const view = gallery.view;
  if (!view || event.target !== view.list || event.altKey || event.isComposing) return;
  const marked = view.marked;
  const row = view.columns;
  if ((event.ctrlKey || event.metaKey) && event.key.toLowerCase() === 'a') {
    pickAll(view.items, view.path);
    event.preventDefault();
    return;
  }
  if (event.ctrlKey || event.metaKey) return;
  switch (event.key) {
    case 'ArrowRight':
      moveInGrid(view, marked + 1);
      break;
    case 'ArrowLeft':
      moveInGrid(view, marked < 0 ? 0 : marked - 1);
      break;
    case 'ArrowDown':
      moveInGrid(view, marked < 0 ? 0 : marked + row);
      break;
    case 'ArrowUp':
      moveInGrid(view, marked < 0 ? 0 : marked - row);
      break;
    case 'Home':
      moveInGrid(view, 0);
      break;
    case 'End':
      moveInGrid(view, view.items.length - 1);
      break;
    case 'PageDown':
      moveInGrid(view, Math.max(marked, 0) + row * view.rowsPerPage());
      break;
    case 'PageUp':
      moveInGrid(view, Math.max(marked, 0) - row * view.rowsPerPage());
      break;
    case 'Enter':
      if (marked >= 0) openItem(view.items[marked]);
      break;
    case ' ':
      if (marked >= 0) togglePick(view.items, marked, view.path);
      break;
    case 'Escape':
      if (!cancelPicking()) return;
      break;
    default:
      return;
  }
  event.preventDefault();
}

function startGallery() {
  const app = byId('app');
  app.addEventListener('click', (event) => {
    const button = event.target.closest('[data-action="view-mode"]');
    if (button && app.contains(button)) chooseViewMode(button.dataset.mode);
  });
  app.addEventListener('keydown', handleGridKey);
  hooks.selectionChanged.push(followFolder);
}
