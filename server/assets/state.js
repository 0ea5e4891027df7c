// The page's state, read from the bootstrap JSON, the theme, and the hooks through which later parts
// follow the column browser.

const THEME_KEY = 'quarry-share-theme';
const THEMES = ['system', 'dark', 'light'];

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

// The time a share ends by itself, or null when it has none (or the text is no date).
function endDate(text) {
  if (typeof text !== 'string' || text === '') return null;
  const date = new Date(text);
  return Number.isNaN(date.getTime()) ? null : date;
}

const bootstrap = readBootstrap();
const state = {
  shares: (Array.isArray(bootstrap.shares) ? bootstrap.shares : []).filter(validShare).map((entry) => ({
    slug: entry.slug,
    name: typeof entry.name === 'string' && entry.name !== '' ? entry.name : entry.slug,
    isPasswordProtected: entry.isPasswordProtected === true,
    availableUntil: endDate(
      entry.availableUntil ||
        (entry.slug === bootstrap.currentShareSlug ? bootstrap.currentShareAvailableUntil : null),
    ),
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

// Where other parts of the page hook into the column browser:
// - rowDrawn(row, item, column): a row has just been built for an item of a ColumnView (a thumbnail may
//   take its icon's place); rows come and go as a column scrolls, so a hook adds to the row it is
//   given and keeps no list.
// - selectionChanged(change): the column browser settled on a new place, with `share`, `selection`
//   (a relative path or null), `metadata` (a promise of the item's metadata, null without a
//   selection), `items` (the rightmost column's listing items) and `viaKeyboard`.
const hooks = { rowDrawn: [], selectionChanged: [] };

function currentShare() {
  return state.shares.find((share) => share.slug === state.currentShareSlug) || null;
}

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
