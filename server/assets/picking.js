// Picking several entries of one folder, in the grid or in its column, and downloading them as one
// ZIP. A tile's or row's box, Ctrl-click (Cmd on a Mac), Shift-click for a range, a long press on a
// touch screen, or Space on the keyboard picks; once something is picked, a click or tap picks too,
// until "Cancel". The download asks for the folder's archive with one "pick" per name, in the URL,
// or as a form's body when the URL would grow past what servers and proxies take.

const PICK_LIMIT = 10000; // names the server takes in one archive
const PICK_URL_LIMIT = 8192;
const LONG_PRESS_DELAY = 500; // ms a finger rests on an entry before it is picked
const LONG_PRESS_SLOP = 10; // px it may move meanwhile

const picking = {
  active: false,
  slug: null,
  folder: null, // relative path of the folder whose entries are picked
  items: [], // that folder's listing items, for "Select all" and ranges
  names: new Set(),
  anchor: -1, // where the last single pick was, for a Shift range
  press: null, // the long press under way: { timer, x, y, fired }
  clickSuppressedUntil: 0, // the click a long press ends with picks nothing more
};

function isPickingIn(folder) {
  const share = currentShare();
  return picking.active && !!share && picking.slug === share.slug && picking.folder === folder;
}

function beginPicking(items, folder) {
  if (isPickingIn(folder)) return;
  const share = currentShare();
  if (!share || folder === null) return;
  Object.assign(picking, { active: true, slug: share.slug, folder, items, names: new Set(), anchor: -1 });
}

// Marks a row or tile as picked or not (and, while picking in its folder, as a checkable option).
function showPickState(element, item, folder) {
  const on = isPickingIn(folder);
  const picked = on && picking.names.has(itemName(item));
  element.classList.toggle('is-picked', picked);
  if (on) element.setAttribute('aria-checked', picked ? 'true' : 'false');
  else element.removeAttribute('aria-checked');
}

function addRowPickBox(row, item, column) {
  if (!column || column.path === null) return;
  row.insertAdjacentHTML('afterbegin', '<span class="pick-box" aria-hidden="true"></span>');
  showPickState(row, item, column.path);
}

function togglePick(items, index, folder) {
  const item = items[index];
  if (!item) return;
  beginPicking(items, folder);
  const name = itemName(item);
  if (picking.names.has(name)) picking.names.delete(name);
  else picking.names.add(name);
  picking.anchor = index;
  refreshPicks();
}

// From the last single pick (or the selection) to `index`, both included.
function pickRange(items, index, folder) {
  let from = isPickingIn(folder) ? picking.anchor : -1;
  if (from < 0) from = items.findIndex((item) => itemPath(item) === state.selectedRelativePath);
  if (from < 0) from = index;
  beginPicking(items, folder);
  for (let at = Math.min(from, index); at <= Math.max(from, index); at += 1) picking.names.add(itemName(items[at]));
  refreshPicks();
}

function pickAll(items, folder) {
  beginPicking(items, folder);
  picking.items = items;
  for (const item of items) picking.names.add(itemName(item));
  refreshPicks();
}

// Ends picking; false when there was nothing to end.
function cancelPicking() {
  if (!picking.active) return false;
  picking.active = false;
  picking.names = new Set();
  refreshPicks();
  return true;
}

// Whether a click landed on a row's or tile's box. A tile draws its box itself, at its top left,
// where a pointer that hovers shows it.
function onPickBox(event) {
  if (event.target.closest('.pick-box')) return true;
  const tile = event.target.closest('.grid-tile');
  if (!tile || event.pointerType === 'touch' || !window.matchMedia('(hover: hover)').matches) return false;
  const box = tile.getBoundingClientRect();
  const [x, y] = [event.clientX - box.left, event.clientY - box.top];
  return x >= 4 && x <= 36 && y >= 4 && y <= 36;
}

// What a click on a row or tile means while picking, or with a modifier: true when it picked.
function pickFromClick(items, index, folder, event) {
  if (Date.now() < picking.clickSuppressedUntil) {
    picking.clickSuppressedUntil = 0;
    return true;
  }
  if (onPickBox(event) || event.ctrlKey || event.metaKey) {
    togglePick(items, index, folder);
    return true;
  }
  if (event.shiftKey) {
    pickRange(items, index, folder);
    return true;
  }
  if (isPickingIn(folder)) {
    togglePick(items, index, folder);
    return true;
  }
  return false;
}

function countText(count) {
  if (count === 0) return 'Select items';
  return numberFormat.format(count) + ' selected';
}

// Brings every row and tile on screen, the bar and the toolbar in line with the picks.
function refreshPicks() {
  for (const column of columns.list) {
    column.element.classList.toggle('is-picking', isPickingIn(column.path));
    for (const [index, row] of column.rows) showPickState(row, column.items[index], column.path);
  }
  const view = gallery.view;
  if (view) {
    view.element.classList.toggle('is-picking', isPickingIn(view.path));
    for (const [index, tile] of view.tiles) showPickState(tile, view.items[index], view.path);
  }
  const browser = document.querySelector('.browser');
  if (browser) browser.classList.toggle('is-picking', picking.active);
  const bar = byId('pick-bar');
  if (!bar) return;
  bar.hidden = !picking.active;
  const count = picking.names.size;
  byId('pick-count').textContent = picking.active ? countText(count) : '';
  const download = byId('pick-download');
  const tooMany = count > PICK_LIMIT && count < picking.items.length;
  download.disabled = count === 0 || tooMany;
  download.title = tooMany ? 'At most ' + numberFormat.format(PICK_LIMIT) + ' at once' : '';
}

function pickBarMarkup() {
  return (
    '<div id="pick-bar" class="pick-bar" hidden>' +
    '<span id="pick-count" class="pick-count" role="status"></span>' +
    '<div class="pick-actions">' +
    '<button type="button" class="toolbar-button" data-action="pick-all">Select all</button>' +
    '<button type="button" id="pick-download" class="primary-button" data-action="pick-download" disabled>' +
    icon('download') +
    '<span>Download ZIP</span></button>' +
    '<button type="button" class="toolbar-button" data-action="pick-cancel">Cancel</button>' +
    '</div></div>'
  );
}

function pickButtonMarkup() {
  return (
    '<button type="button" class="toolbar-button pick-start" data-action="pick-start">' +
    icon('check') +
    '<span>Select</span></button>'
  );
}

// The open folder's listing: the grid's or the rightmost column's.
function openFolderListing() {
  if (gallery.view) return { items: gallery.view.items, folder: gallery.view.path };
  const last = columns.list[columns.list.length - 1];
  return last ? { items: last.items, folder: last.path } : null;
}

function downloadPicks() {
  const share = currentShare();
  if (!share || !picking.active || picking.slug !== share.slug || !picking.names.size) return;
  // Listing order, so the archive lists its entries as the folder does.
  const names = picking.items.map(itemName).filter((name) => picking.names.has(name));
  const base = shareURL(share.slug, picking.folder, true);
  // Everything in a folder too large to name in one request is simply the folder.
  if (names.length > PICK_LIMIT) {
    if (names.length === picking.items.length) followLink(base + '?download=1');
    return;
  }
  const query = '?download=1' + names.map((name) => '&pick=' + encodeComponent(name)).join('');
  if (base.length + query.length <= PICK_URL_LIMIT) followLink(base + query);
  else postForm(base, names);
}

// An attachment's answer downloads and leaves the page as it is.
function followLink(url) {
  const link = document.createElement('a');
  link.href = url;
  link.hidden = true;
  document.body.appendChild(link);
  link.click();
  link.remove();
}

function postForm(action, names) {
  const form = document.createElement('form');
  form.method = 'post';
  form.action = action;
  form.hidden = true;
  const field = (name, value) => {
    const input = document.createElement('input');
    input.type = 'hidden';
    input.name = name;
    input.value = value;
    form.appendChild(input);
  };
  field('download', '1');
  for (const name of names) field('pick', name);
  document.body.appendChild(form);
  form.submit();
  form.remove();
}

// The row or tile under an element, with its listing and folder.
function pickTarget(element) {
  const tile = element.closest('.grid-tile');
  const view = gallery.view;
  if (tile && view && view.list.contains(tile)) {
    return { items: view.items, index: Number(tile.dataset.index), folder: view.path };
  }
  const row = element.closest('.browser-columns .column-entry');
  const column = row && columns.list.find((entry) => entry.element.contains(row));
  if (column) return { items: column.items, index: Number(row.dataset.index), folder: column.path };
  return null;
}

function endPress() {
  if (!picking.press) return;
  window.clearTimeout(picking.press.timer);
  picking.press = null;
}

function startPickingEvents(app) {
  // Rows: a pick goes before the column's own click, which would select the row.
  app.addEventListener(
    'click',
    (event) => {
      const row = event.target.closest('.browser-columns .column-entry');
      const target = row && pickTarget(row);
      if (!target || !pickFromClick(target.items, target.index, target.folder, event)) return;
      event.preventDefault();
      event.stopPropagation();
    },
    true
  );
  // Shift-click picks a range; it should not also select the text between.
  app.addEventListener('mousedown', (event) => {
    if (event.shiftKey && pickTarget(event.target)) event.preventDefault();
  });
  app.addEventListener('pointerdown', (event) => {
    endPress();
    if (event.pointerType !== 'touch' || !event.isPrimary) return;
    const target = pickTarget(event.target);
    if (!target) return;
    const press = { x: event.clientX, y: event.clientY, fired: false };
    press.timer = window.setTimeout(() => {
      press.fired = true;
      togglePick(target.items, target.index, target.folder);
    }, LONG_PRESS_DELAY);
    picking.press = press;
  });
  app.addEventListener('pointermove', (event) => {
    const press = picking.press;
    if (press && !press.fired && Math.hypot(event.clientX - press.x, event.clientY - press.y) > LONG_PRESS_SLOP) {
      endPress();
    }
  });
  app.addEventListener('pointerup', () => {
    // The click that follows the finger's lifting belongs to the long press.
    if (picking.press && picking.press.fired) picking.clickSuppressedUntil = Date.now() + 400;
    endPress();
  });
  app.addEventListener('pointercancel', endPress);
  // A long press on a photo would otherwise open the browser's own menu for images.
  app.addEventListener('contextmenu', (event) => {
    if (picking.press && pickTarget(event.target)) event.preventDefault();
  });
  app.addEventListener('click', (event) => {
    const button = event.target.closest('[data-action^="pick-"]');
    if (!button || !app.contains(button)) return;
    const listing = openFolderListing();
    switch (button.dataset.action) {
      case 'pick-start':
        if (listing) beginPicking(listing.items, listing.folder);
        refreshPicks();
        break;
      case 'pick-all':
        if (picking.active) pickAll(picking.items, picking.folder);
        break;
      case 'pick-download':
        downloadPicks();
        break;
      case 'pick-cancel':
        cancelPicking();
        break;
      default:
        break;
    }
  });
}

function startPicking() {
  const app = byId('app');
  startPickingEvents(app);
  hooks.rowDrawn.push(addRowPickBox);
  // Picks belong to one folder: they go when it is no longer in sight (its column gone, or another
  // folder in the grid or on a phone's one column), or another share opens.
  hooks.selectionChanged.push((change) => {
    if (!picking.active) return;
    const column = columns.list.find((entry) => entry.path === picking.folder);
    const inSight = gallery.view || isPhoneLayout() ? state.currentDirectory === picking.folder : !!column;
    if (!column || !inSight || change.share.slug !== picking.slug) {
      cancelPicking();
      return;
    }
    picking.items = column.items;
    refreshPicks();
  });
}
