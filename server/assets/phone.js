// The phone layout: where the three panes cannot stand side by side, the page shows one at a time,
// as a phone's own file browser does: the shares, then a folder (its column or its grid), then a
// file. The back control at the top walks up; the browser's Back button walks the history, whose
// entries are the same URLs as on a wide screen. The CSS picks the pane from the shell's data-pane.

const PHONE_LAYOUT = window.matchMedia('(max-width: 860px)');

function isPhoneLayout() {
  return PHONE_LAYOUT.matches;
}

// What every history entry the client adds remembers: the URL it was added from, so the back control
// can tell when going up is the same as going back.
function historyMark(extra) {
  return Object.assign({ from: window.location.pathname + window.location.search }, extra || {});
}

function initialPane(share) {
  if (!share) return 'shares';
  const selection = state.selectedRelativePath;
  return selection !== null && selection !== trimSlashes(state.currentDirectory) ? 'file' : 'folder';
}

function shell() {
  return document.querySelector('.app-shell');
}

// Where the back control leads from the pane on screen: a file's folder, a folder's parent, or from
// the share's root to the list of shares.
function upTarget() {
  const share = currentShare();
  const pane = shell() ? shell().dataset.pane : 'shares';
  if (!share || pane === 'shares') return null;
  const folder = (path) => ({
    url: shareURL(share.slug, path, true),
    label: lastComponent(path) || share.name,
    go: () => openFolder(path),
  });
  const directory = state.currentDirectory;
  if (pane === 'file') return folder(directory);
  if (directory === '') return { url: '/', label: 'Shares', go: openShareList };
  return folder(parentPath(directory));
}

// The back control, and beside it the name of what the pane shows (the heading and the list's own
// title name it for screen readers).
function backControlMarkup() {
  return (
    '<button type="button" class="pane-back" data-action="pane-back">' +
    icon('back') +
    '<span class="pane-back-label"></span></button><span class="pane-title" aria-hidden="true"></span>'
  );
}

function showBackControls() {
  const share = currentShare();
  for (const title of document.querySelectorAll('.browser .pane-title')) {
    title.textContent = share ? lastComponent(state.currentDirectory) || share.name : '';
  }
  const target = upTarget();
  for (const button of document.querySelectorAll('.pane-back')) {
    button.hidden = !target;
    if (!target) continue;
    button.querySelector('.pane-back-label').textContent = target.label;
    button.setAttribute('aria-label', 'Back to ' + target.label);
  }
}

function setPane(pane) {
  const element = shell();
  if (!element) return;
  if (element.dataset.pane !== pane) {
    element.dataset.pane = pane;
    if (isPhoneLayout()) window.scrollTo(0, 0);
  }
  showBackControls();
}

function openShareList() {
  state.currentShareSlug = null;
  state.currentDirectory = '';
  state.selectedRelativePath = null;
  window.history.pushState(historyMark(), '', '/');
  drawWholeView();
}

// Up one level: back through the history when that is where the visitor came from, else a new step.
function goUp() {
  const target = upTarget();
  if (!target) return;
  const mark = window.history.state;
  if (mark && mark.from === target.url) window.history.back();
  else target.go();
}

// Enter on a row: a photo or video opens in the viewer; on a phone any other file opens its page.
function activateMarkedRow(column) {
  const item = column.items[column.marked];
  if (!item || itemIsFolder(item)) return false;
  if (openViewerFromRow(column, column.marked)) return true;
  if (!isPhoneLayout()) return false;
  showPath(parentPath(itemPath(item)), itemPath(item));
  return true;
}

function startPhone() {
  const app = byId('app');
  app.addEventListener('click', (event) => {
    if (event.target.closest('[data-action="pane-back"]')) goUp();
  });
  // A file opened by a tap or a link shows its own page; a step with the keys stays in the folder.
  hooks.selectionChanged.push((change) => {
    const file = change.selection !== null && change.selection !== state.currentDirectory;
    setPane(file && !change.viaKeyboard ? 'file' : 'folder');
  });
  PHONE_LAYOUT.addEventListener('change', showBackControls);
}
