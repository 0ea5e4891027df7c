// Searching the share by name: a field above the columns ("/" reaches it from anywhere), asked as the
// visitor types; the matches take the columns' place as one list of names with their folders. Choosing
// one opens its folder in the columns with it selected, as a click there would; Escape or an emptied
// field brings the columns back as they were, which stayed in the page all along.

const SEARCH_DELAY = 180; // ms after the last keystroke before the server is asked

const search = {
  timer: 0,
  generation: 0, // bumped by every request and every close; older answers are dropped
  controller: null, // the request in flight, abandoned when a newer one starts
  // Each request's number, rising: the server keeps the search typed last even when two requests reach it
  // in reverse order. From the clock, so that the visitor's other pages count along.
  number: 0,
  retries: 0, // of the query on screen, after the server stopped it for a newer one
  view: null, // the ColumnView of the results on screen
  focusAfterStep: null, // the column step after which the selection's column takes the focus
};

function searchFieldMarkup() {
  return (
    '<div class="search-field" role="search">' +
    icon('search') +
    '<input id="search-input" class="search-input" type="search" placeholder="Search this share" ' +
    'aria-label="Search names in this share" aria-keyshortcuts="/" aria-controls="search-results" ' +
    'autocomplete="off" spellcheck="false" maxlength="200" enterkeyhint="search">' +
    '<kbd class="search-key" aria-hidden="true">/</kbd>' +
    '<span id="search-status" class="visually-hidden" role="status"></span>' +
    '</div>'
  );
}

function searchURL(slug, query) {
  search.number = Math.max(search.number + 1, Date.now());
  return '/__search/' + encodeComponent(slug) + '?q=' + encodeComponent(query) + '&n=' + search.number;
}

const SEARCH_RETRIES = 3;

// A result's second line: the folder it lies in, from the share's root.
function resultFolder(item) {
  return '/' + parentPath(itemPath(item));
}

function resultSummary(answer, count) {
  if (count === 0) return 'No matches';
  if (answer.truncated === true) return 'First ' + count + ' matches';
  return count === 1 ? '1 match' : count + ' matches';
}

function setSearchStatus(text) {
  const status = byId('search-status');
  if (status) status.textContent = text;
}

function dropResults() {
  if (search.view) search.view.destroy();
  search.view = null;
}

// Nothing searched any more; also when the page was drawn again and the results went with it.
function resetSearch() {
  window.clearTimeout(search.timer);
  search.generation += 1;
  if (search.controller) search.controller.abort();
  search.controller = null;
  dropResults();
}

// Back to the columns, as they were. The field keeps its text only when asked to.
function closeSearch({ clearField = true } = {}) {
  resetSearch();
  const stage = byId('browser-stage');
  if (stage) stage.classList.remove('is-searching');
  const field = byId('search-input');
  if (field && clearField) field.value = '';
  setSearchStatus('');
}

function scheduleSearch() {
  const field = byId('search-input');
  window.clearTimeout(search.timer);
  if (!field || field.value.trim() === '') {
    closeSearch({ clearField: false });
    return;
  }
  search.timer = window.setTimeout(() => runSearch(field.value), SEARCH_DELAY);
}

async function runSearch(query, retry = false) {
  const share = currentShare();
  if (!share) return;
  window.clearTimeout(search.timer);
  search.retries = retry ? search.retries + 1 : 0;
  const generation = (search.generation += 1);
  if (search.controller) search.controller.abort();
  const controller = new AbortController();
  search.controller = controller;
  let answer = null;
  let failed = false;
  try {
    answer = await fetchJSON(searchURL(share.slug, query), controller.signal);
  } catch (error) {
    failed = error.name !== 'AbortError';
  }
  if (generation !== search.generation || currentShare() !== share || (!answer && !failed)) return;
  search.controller = null;
  // Stopped for a newer search of this visitor (another of its pages): what it found is not all there is.
  if (answer && answer.stopped === true) {
    if (search.retries < SEARCH_RETRIES) {
      search.timer = window.setTimeout(() => runSearch(query, true), SEARCH_DELAY);
      return;
    }
    answer = null;
    failed = true;
  }
  showResults(answer && typeof answer === 'object' ? answer : { items: [] }, failed);
}

function showResults(answer, failed) {
  const stage = byId('browser-stage');
  const container = byId('search-results');
  if (!stage || !container) return;
  const items = normalisedItems(answer);
  const summary = failed ? 'Search failed' : resultSummary(answer, items.length);
  const hadFocus = search.view && search.view.hasFocus();
  dropResults();
  search.view = new ColumnView({
    path: null,
    title: summary,
    items,
    onPick: (view, index) => chooseResult(view.items[index]),
    detail: resultFolder,
    emptyText: failed ? 'The server could not search this share just now.' : 'No names here hold every word.',
  });
  container.appendChild(search.view.element);
  stage.classList.add('is-searching');
  search.view.attach();
  search.view.setTabStop(true);
  search.view.list.addEventListener('keydown', handleResultKey);
  if (hadFocus) byId('search-input').focus();
  setSearchStatus(summary);
}

// Opens the result's folder in the columns with the result selected, exactly as picking it there.
function chooseResult(item) {
  if (!item) return;
  const path = itemPath(item);
  closeSearch();
  // The step about to start, which may complete at once when its columns are on screen already.
  search.focusAfterStep = columns.generation + 1;
  if (itemIsFolder(item)) showPath(path, path);
  else showPath(parentPath(path), path);
}

function focusColumns() {
  const column = activeColumn();
  if (column) column.focus();
}

function markResult(index) {
  const view = search.view;
  if (!view || !view.items.length) return;
  const target = Math.max(0, Math.min(view.items.length - 1, index));
  view.mark(target);
  view.reveal(target, false);
}

function handleResultKey(event) {
  const view = search.view;
  if (!view || event.altKey || event.ctrlKey || event.metaKey || event.isComposing) return;
  const marked = view.marked;
  switch (event.key) {
    case 'ArrowDown':
      markResult(marked + 1);
      break;
    case 'ArrowUp':
      if (marked <= 0) byId('search-input').focus();
      else markResult(marked - 1);
      break;
    case 'Home':
      markResult(0);
      break;
    case 'End':
      markResult(view.items.length - 1);
      break;
    case 'PageDown':
      markResult(Math.max(marked, 0) + view.pageSize());
      break;
    case 'PageUp':
      markResult(Math.max(marked, 0) - view.pageSize());
      break;
    case 'Enter':
      chooseResult(view.items[marked]);
      break;
    case 'Escape':
      closeSearch();
      focusColumns();
      break;
    default:
      // Anything typed goes on into the field.
      if ([...event.key].length === 1) byId('search-input').focus();
      return;
  }
  event.preventDefault();
}

function handleFieldKey(event) {
  if (event.target.id !== 'search-input') return;
  const field = event.target;
  if (event.key === 'Escape') {
    event.preventDefault();
    if (field.value !== '' || search.view) closeSearch();
    else focusColumns();
  } else if (event.key === 'Enter') {
    event.preventDefault();
    if (field.value.trim() !== '') runSearch(field.value);
  } else if (event.key === 'ArrowDown' && search.view && search.view.items.length) {
    event.preventDefault();
    search.view.focus();
    if (search.view.marked < 0) markResult(0);
  }
}

// "/" anywhere but in a text field goes to the search field.
function handleSearchShortcut(event) {
  if (event.key !== '/' || event.altKey || event.ctrlKey || event.metaKey) return;
  const target = event.target;
  if (target instanceof Element && target.closest('input, textarea, select, [contenteditable]')) return;
  const field = byId('search-input');
  if (!field) return;
  event.preventDefault();
  event.stopPropagation();
  field.focus();
  field.select();
}

function startSearch() {
  const app = byId('app');
  if (!app) return;
  app.addEventListener('input', (event) => {
    if (event.target.id === 'search-input') scheduleSearch();
  });
  app.addEventListener('keydown', handleFieldKey);
  // A folder opened from the breadcrumb or the inspector is shown, not left under the results.
  app.addEventListener(
    'click',
    (event) => {
      if (event.target instanceof Element && event.target.closest('[data-action="open-folder"]')) closeSearch();
    },
    true
  );
  window.addEventListener('keydown', handleSearchShortcut, true);
  // A step through the history shows the columns it leads to.
  window.addEventListener('popstate', () => closeSearch());
  hooks.selectionChanged.push(() => {
    if (search.focusAfterStep === null || search.focusAfterStep !== columns.generation) return;
    search.focusAfterStep = null;
    focusColumns();
  });
}
