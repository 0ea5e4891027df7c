// The open path as columns: one ColumnView per folder level from the share's root to the current
// folder, with the next level's folder (or the selection) marked in each. A step marks its rows at
// once, keeps every column it shares with what is on screen, asks only for the listings it lacks and
// adds their columns when all of them have arrived; a step that fails puts the marks back as they were.

const KEY_STEP_DELAY = 120; // ms a keyboard step waits before asking the server, so held keys coalesce

const columns = {
  list: [], // ColumnView, left to right
  committed: null, // { directory, selection } that the columns show, once a step has completed
  generation: 0, // bumped by every step; answers for an older one are dropped
  enterWhenShown: null, // { generation, path }: Right was pressed on a folder whose column is on its way
};

function columnSegments(directory) {
  const parts = components(directory);
  const segments = [''];
  for (let index = 1; index <= parts.length; index += 1) segments.push(parts.slice(0, index).join('/'));
  return segments;
}

// The whole view was drawn again: the columns start over in its new columns area.
function resetColumns() {
  for (const column of columns.list) column.destroy();
  columns.list = [];
  columns.committed = null;
  columns.enterWhenShown = null;
  columns.generation += 1;
}

function normalisedItems(listing) {
  const items = listing && Array.isArray(listing.items) ? listing.items : [];
  return items.map((item) => (item && typeof item === 'object' ? item : {}));
}

// Marks, in each of the first `count` columns, the folder open to its right, or the selection in
// the last one.
function markColumns(segments, selection, count, reveal) {
  for (let index = 0; index < count && index < columns.list.length; index += 1) {
    const column = columns.list[index];
    const row = column.indexOf(index + 1 < segments.length ? segments[index + 1] : selection);
    if (row === column.marked) continue;
    column.mark(row);
    if (reveal) column.reveal(row, false);
  }
}

// Shows `directory` as the rightmost column with `selection` (a relative path or null) selected.
// options.history: 'push' (default), 'replace' or 'none'; options.viaKeyboard: the step came from a
// key, so the server is asked only once the keys pause.
function showPath(directory, selection, options = {}) {
  const share = currentShare();
  if (!share) return;
  const generation = (columns.generation += 1);
  const folder = trimSlashes(directory);
  const selected = selection === '' ? null : selection;
  const segments = columnSegments(folder);
  state.currentDirectory = folder;
  state.selectedRelativePath = selected;

  let kept = 0;
  while (kept < columns.list.length && kept < segments.length && columns.list[kept].path === segments[kept]) kept += 1;
  // Opening a folder asks for its listing anew even when its column is on screen, so it shows what
  // the folder holds now; the columns to its left stay as they are.
  if (kept === segments.length && selected === (folder === '' ? null : folder)) kept -= 1;
  markColumns(segments, selected, kept, true);
  columns.list.forEach((column, index) => column.element.classList.toggle('is-stale', index >= kept));

  const delay = options.viaKeyboard ? KEY_STEP_DELAY : 0;
  const current = () => generation === columns.generation && currentShare() === share;
  const afterDelay = (request) =>
    new Promise((resolve) => (delay ? setTimeout(resolve, delay) : resolve())).then(() =>
      current() ? request() : Promise.reject(new Error('superseded'))
    );
  const metadata = selected === null ? null : afterDelay(() => fetchJSON(endpointURL('meta', share.slug, selected)));
  if (metadata) metadata.catch(() => {}); // whoever shows it handles a failure; an unheard one is fine
  const step = { share, generation, folder, selected, segments, kept, metadata, options };

  const missing = segments.slice(kept);
  if (!missing.length) {
    commitStep(step, []);
    return;
  }
  afterDelay(() => Promise.all(missing.map((segment) => fetchJSON(endpointURL('browse', share.slug, segment))))).then(
    (listings) => {
      if (current()) commitStep(step, listings);
    },
    (error) => {
      if (current()) failStep(error);
    }
  );
}

function commitStep(step, listings) {
  const container = byId('browser-columns');
  if (!container) return;
  const { share, folder, selected, segments, kept, options } = step;
  const lostFocus = columns.list.slice(kept).some((column) => column.hasFocus());
  for (const column of columns.list.splice(kept)) column.destroy();
  const added = listings.map(
    (listing, offset) =>
      new ColumnView({
        path: segments[kept + offset],
        title: lastComponent(segments[kept + offset]) || share.name,
        items: normalisedItems(listing),
        onPick: (column, index) => pickRow(column, index, false),
      })
  );
  if (added.length) {
    const fragment = document.createDocumentFragment();
    for (const column of added) fragment.appendChild(column.element);
    container.appendChild(fragment);
    columns.list.push(...added);
    for (const column of added) column.attach();
    markColumns(segments, selected, columns.list.length, false);
    for (const column of added) column.reveal(column.marked, true);
    // The newest column comes into sight, unless that hides the column the keyboard is in.
    container.scrollLeft = container.scrollWidth;
    const focused = columns.list.find((column) => column.hasFocus());
    if (focused) focused.revealSideways();
  }
  const active = activeColumn();
  columns.list.forEach((column) => column.setTabStop(column === active));
  const breadcrumbHadFocus = byId('breadcrumb') && byId('breadcrumb').contains(document.activeElement);
  showBreadcrumb(share, folder);
  const download = byId('download-current-folder');
  if (download) download.setAttribute('href', shareURL(share.slug, folder, true) + '?download=1');
  if (active && (lostFocus || breadcrumbHadFocus)) active.focus();
  recordInHistory(share, folder, selected, options.history || 'push');
  columns.committed = { directory: folder, selection: selected };

  const last = columns.list[columns.list.length - 1];
  offerSmallerZip(share, folder, last ? last.items : []);
  const change = { share, selection: selected, metadata: step.metadata, items: last ? last.items : [] };
  change.viaKeyboard = !!options.viaKeyboard;
  for (const hook of hooks.selectionChanged) hook(change);
  const enter = columns.enterWhenShown;
  columns.enterWhenShown = null;
  if (enter && enter.generation === step.generation && last && last.path === enter.path && columns.list.length > 1) {
    enterColumn(columns.list[columns.list.length - 2]);
  }
}

// A step that could not be completed leaves the view as it was. With nothing on screen yet (a share
// just opened whose unlock cookie is missing), the page is loaded for real so the server can ask for
// the password.
function failStep(error) {
  if (!columns.committed) {
    if (error.status === 401 && byId('browser-columns')) window.location.reload();
    return;
  }
  const { directory, selection } = columns.committed;
  state.currentDirectory = directory;
  state.selectedRelativePath = selection;
  markColumns(columnSegments(directory), selection, columns.list.length, false);
  for (const column of columns.list) column.element.classList.remove('is-stale');
}

// The column that holds the selection (the last one without a selection): the one Tab reaches. On a
// phone, the one column in sight.
function activeColumn() {
  if (isPhoneLayout()) return columns.list[columns.list.length - 1] || null;
  const selection = state.selectedRelativePath;
  for (let index = columns.list.length - 1; index >= 0 && selection !== null; index -= 1) {
    const column = columns.list[index];
    if (column.marked >= 0 && itemPath(column.items[column.marked]) === selection) return column;
  }
  return columns.list[columns.list.length - 1] || null;
}

function recordInHistory(share, folder, selected, mode) {
  if (mode === 'none') return;
  const isFile = selected !== null && selected !== folder;
  const url = isFile ? shareURL(share.slug, selected, false) : shareURL(share.slug, folder, true);
  if (mode === 'replace') window.history.replaceState(window.history.state, '', url);
  else if (url !== window.location.pathname) window.history.pushState(historyMark(), '', url);
}

// A row picked by a click or a key: a folder opens its column, a file is selected in its folder. On a
// phone, where one column is in sight, a tap on a photo or video opens the viewer, and the keys
// select a folder in place (Enter or Right opens it).
function pickRow(column, index, viaKeyboard) {
  const item = column.items[index];
  if (!item) return;
  const path = itemPath(item);
  const phone = isPhoneLayout();
  if (phone && !viaKeyboard && openViewerFromRow(column, index)) return;
  const options = { history: viaKeyboard ? 'replace' : 'push', viaKeyboard };
  if (itemIsFolder(item) && !(phone && viaKeyboard)) showPath(path, path, options);
  else showPath(parentPath(path), path, options);
}

// Right or Enter on a column: into the selected folder's column, on its first row.
function enterColumn(column) {
  const item = column.items[column.marked];
  if (!item || !itemIsFolder(item)) return;
  const next = columns.list[columns.list.indexOf(column) + 1];
  if (!next || next.path !== itemPath(item) || next.element.classList.contains('is-stale')) {
    if (isPhoneLayout()) {
      showPath(itemPath(item), itemPath(item), { history: 'replace', viaKeyboard: true });
      columns.enterWhenShown = { generation: columns.generation, path: itemPath(item) };
    } else if (state.currentDirectory === itemPath(item)) {
      columns.enterWhenShown = { generation: columns.generation, path: itemPath(item) };
    }
    return;
  }
  if (!next.items.length) return;
  next.focus();
  if (next.marked < 0) pickRow(next, 0, true);
}

// Left on a column: back to the parent column, on the folder this column shows.
function leaveColumn(column) {
  const index = columns.list.indexOf(column);
  if (index <= 0) return;
  // On a phone the parent's column takes this one's place, and the focus with it.
  if (isPhoneLayout()) {
    showPath(parentPath(column.path), column.path, { history: 'replace', viaKeyboard: true });
    return;
  }
  columns.list[index - 1].focus();
  showPath(column.path, column.path, { history: 'replace', viaKeyboard: true });
}

function showBreadcrumb(share, directory) {
  const breadcrumb = byId('breadcrumb');
  if (!breadcrumb) return;
  const parts = components(directory);
  if (!parts.length) {
    breadcrumb.classList.add('is-hidden');
    breadcrumb.innerHTML = '';
    return;
  }
  const crumbs = [{ label: share.name, path: '' }].concat(
    parts.map((part, index) => ({ label: part, path: parts.slice(0, index + 1).join('/') }))
  );
  breadcrumb.classList.remove('is-hidden');
  breadcrumb.innerHTML = crumbs
    .map(
      (crumb, index) =>
        '<button type="button" class="crumb' +
        (index === crumbs.length - 1 ? ' is-current" aria-current="location' : '') +
        '" data-action="open-folder" data-path="' +
        escapeHTML(crumb.path) +
        '" title="' +
        escapeHTML(crumb.label) +
        '">' +
        escapeHTML(crumb.label) +
        '</button>'
    )
    .join('<span class="crumb-separator" aria-hidden="true">›</span>');
  breadcrumb.scrollLeft = breadcrumb.scrollWidth;
}
