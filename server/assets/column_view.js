// One column of the browser: a list box over a folder's listing. Only the rows in view, plus a small
// margin, exist in the page; each sits at a fixed pitch over a spacer as tall as the whole list, so a
// folder of 10,000 entries costs no more to show or to scroll than one of thirty. Nothing in here
// knows about folders and paths beyond the items' own fields, so a list of search results can use it.

const ROW_GAP = 2; // px between two rows, below --row-height
const ROW_MARGIN = 8; // rows drawn beyond each edge of the view, so a fast scroll shows no gap

let columnSerial = 0;
let cachedPitch = 0;

function rowPitch() {
  if (!cachedPitch) {
    const height = parseFloat(getComputedStyle(document.documentElement).getPropertyValue('--row-height'));
    cachedPitch = (Number.isFinite(height) && height > 0 ? height : 46) + ROW_GAP;
  }
  return cachedPitch;
}

function itemName(item) {
  return typeof item.name === 'string' ? item.name : '';
}

function itemPath(item) {
  return typeof item.relativePath === 'string' ? item.relativePath : '';
}

function itemIsFolder(item) {
  return item.isDirectory === true;
}

// The second line of a row: "Folder" or the size, unless the list says otherwise.
function rowMarkup(item, detail) {
  const folder = itemIsFolder(item);
  return (
    '<span class="column-entry-icon">' +
    icon(folder ? 'folder' : 'file') +
    '</span><span class="column-entry-copy"><span class="column-entry-name">' +
    escapeHTML(itemName(item)) +
    '</span><span class="column-entry-meta">' +
    escapeHTML(detail ? detail(item) : folder ? 'Folder' : formatSize(item.size)) +
    '</span></span>' +
    (folder ? '<span class="column-entry-arrow" aria-hidden="true">›</span>' : '')
  );
}

class ColumnView {
  // `items` are listing items (objects); `onPick(column, index)` runs when the visitor clicks a row;
  // `detail(item)` gives a row's second line and `emptyText` what an empty list says.
  constructor({ path, title, items, onPick, detail, emptyText }) {
    this.path = path;
    this.items = items;
    this.detail = detail || null;
    this.id = 'column-' + (columnSerial += 1);
    this.marked = -1; // the selected row, which is also the list box's active one
    this.rows = new Map(); // index → row element, for the rows in the page now
    this.first = 0; // the window of rows drawn last
    this.last = -1;
    this.viewHeight = 0;
    this.pitch = rowPitch();
    this.pathIndex = null; // built on first use: relative path → index
    this.foldedNames = null; // built on first use: names in lower case, for type-to-select

    this.element = document.createElement('section');
    this.element.className = 'browser-column';
    this.element.innerHTML =
      '<div class="browser-column-title" id="' +
      this.id +
      '-title" title="' +
      escapeHTML(title) +
      '">' +
      escapeHTML(title) +
      '</div>' +
      (items.length ? '' : '<div class="empty-browser">' + escapeHTML(emptyText || 'Empty folder') + '</div>') +
      '<div class="browser-column-list" role="listbox" tabindex="-1" aria-labelledby="' +
      this.id +
      '-title"><div class="browser-column-rows"></div></div>';
    this.list = this.element.querySelector('.browser-column-list');
    this.spacer = this.list.firstElementChild;
    this.spacer.style.height = Math.max(0, items.length * this.pitch - ROW_GAP) + 'px';
    this.list.addEventListener('scroll', () => this.draw(), { passive: true });
    this.list.addEventListener('click', (event) => {
      const row = event.target.closest('.column-entry');
      if (row && this.list.contains(row)) onPick(this, Number(row.dataset.index));
    });
  }

  // Once the column is in the page: measure the view and draw the rows it shows.
  attach() {
    this.viewHeight = this.list.clientHeight;
    this.resizeObserver = new ResizeObserver((entries) => {
      const height = entries[entries.length - 1].contentRect.height;
      if (height === this.viewHeight) return;
      this.viewHeight = height;
      this.draw();
    });
    this.resizeObserver.observe(this.list);
    this.draw();
  }

  destroy() {
    if (this.resizeObserver) this.resizeObserver.disconnect();
    this.element.remove();
  }

  // Brings the page's rows in line with the view: rows that scrolled out go, rows that came in are
  // built. The marked row always stays, so the list box's active row exists wherever it scrolled.
  draw() {
    const count = this.items.length;
    const top = this.list.scrollTop;
    this.first = Math.max(0, Math.floor(top / this.pitch) - ROW_MARGIN);
    this.last = Math.min(count - 1, Math.ceil((top + this.viewHeight) / this.pitch) + ROW_MARGIN);
    for (const [index, row] of this.rows) {
      if (!this.inWindow(index) && index !== this.marked) {
        row.remove();
        this.rows.delete(index);
      }
    }
    const missing = [];
    for (let index = this.first; index <= this.last; index += 1) if (!this.rows.has(index)) missing.push(index);
    if (this.marked >= 0 && !this.rows.has(this.marked) && !this.inWindow(this.marked)) {
      missing.push(this.marked);
      missing.sort((a, b) => a - b);
    }
    // Rows stay in listing order in the page, which is the order a screen reader reads them in.
    let next = this.spacer.firstElementChild;
    for (const index of missing) {
      while (next && Number(next.dataset.index) < index) next = next.nextElementSibling;
      this.spacer.insertBefore(this.buildRow(index), next);
    }
  }

  inWindow(index) {
    return index >= this.first && index <= this.last;
  }

  buildRow(index) {
    const item = this.items[index];
    const selected = index === this.marked;
    const row = document.createElement('div');
    row.className = selected ? 'column-entry is-selected' : 'column-entry';
    row.id = this.id + '-row-' + index;
    row.setAttribute('role', 'option');
    row.setAttribute('aria-selected', selected ? 'true' : 'false');
    row.setAttribute('aria-setsize', String(this.items.length));
    row.setAttribute('aria-posinset', String(index + 1));
    row.dataset.index = String(index);
    row.dataset.path = itemPath(item);
    row.title = itemName(item);
    row.style.top = index * this.pitch + 'px';
    row.innerHTML = rowMarkup(item, this.detail);
    for (const hook of hooks.rowDrawn) hook(row, item, this);
    this.rows.set(index, row);
    return row;
  }

  // Marks one row as selected (or none, with -1), touching only the old and the new row.
  mark(index) {
    if (index === this.marked) return;
    const old = this.rows.get(this.marked);
    if (old) {
      if (this.inWindow(this.marked)) {
        old.classList.remove('is-selected');
        old.setAttribute('aria-selected', 'false');
      } else {
        old.remove();
        this.rows.delete(this.marked);
      }
    }
    this.marked = index;
    if (index < 0) {
      this.list.removeAttribute('aria-activedescendant');
      return;
    }
    let row = this.rows.get(index);
    if (row) {
      row.classList.add('is-selected');
      row.setAttribute('aria-selected', 'true');
    } else {
      this.draw();
      row = this.rows.get(index);
    }
    this.list.setAttribute('aria-activedescendant', row.id);
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

  // Scrolls just enough to show a row, or puts it in the middle of the view with `centre`.
  reveal(index, centre) {
    if (index < 0) return;
    const top = index * this.pitch;
    const bottom = top + this.pitch - ROW_GAP;
    const scroll = this.list.scrollTop;
    if (top >= scroll && bottom <= scroll + this.viewHeight) return;
    if (centre) this.list.scrollTop = top - (this.viewHeight - this.pitch) / 2;
    else this.list.scrollTop = top < scroll ? top : bottom - this.viewHeight;
    this.draw();
  }

  pageSize() {
    return Math.max(1, Math.floor(this.viewHeight / this.pitch) - 1);
  }

  // The first row from `from` on (wrapping around) whose name starts with `prefix`, ignoring case.
  findPrefix(prefix, from) {
    if (!this.foldedNames) this.foldedNames = this.items.map((item) => itemName(item).toLocaleLowerCase());
    const count = this.foldedNames.length;
    for (let step = 0; step < count; step += 1) {
      const index = (from + step) % count;
      if (this.foldedNames[index].startsWith(prefix)) return index;
    }
    return -1;
  }

  setTabStop(isTabStop) {
    this.list.tabIndex = isTabStop ? 0 : -1;
  }

  focus() {
    this.list.focus({ preventScroll: true });
    this.revealSideways();
  }

  // Scrolls the columns area sideways just enough to show this column.
  revealSideways() {
    const area = this.element.parentElement;
    if (!area) return;
    const [outer, inner] = [area.getBoundingClientRect(), this.element.getBoundingClientRect()];
    if (inner.left < outer.left) area.scrollLeft -= outer.left - inner.left + 12;
    else if (inner.right > outer.right) area.scrollLeft += inner.right - outer.right + 12;
  }

  hasFocus() {
    return this.list === document.activeElement;
  }
}
