// Reads what a visitor sees of the column browser, as plain data the tests can compare.

export function readColumns(page) {
  return page.$$eval('#browser-columns .browser-column', (columns) =>
    columns.map((column) => {
      const rows = [...column.querySelectorAll('.column-entry')];
      const texts = (list, part) => list.map((row) => row.querySelector(part).textContent);
      return {
        rows: texts(rows, '.column-entry-name'),
        meta: texts(rows, '.column-entry-meta'),
        marked: texts(rows.filter((row) => row.classList.contains('is-selected')), '.column-entry-name'),
      };
    })
  );
}

export function readInspector(page) {
  return page.$eval('#inspector-body', (body) => {
    const values = {};
    for (const row of body.querySelectorAll('.meta-row')) {
      values[row.querySelector('.meta-label').textContent] = row.querySelector('.meta-value').textContent;
    }
    const links = {};
    for (const link of body.querySelectorAll('a')) links[link.textContent] = link.getAttribute('href');
    return {
      heading: body.querySelector('h3')?.textContent ?? null,
      subtitle: body.querySelector('.inspector-copy p')?.textContent ?? null,
      values,
      links,
      buttons: [...body.querySelectorAll('button')].map((button) => button.textContent),
    };
  });
}

export function readBreadcrumb(page) {
  return page.$eval('#breadcrumb', (crumbs) =>
    crumbs.classList.contains('is-hidden') ? null : [...crumbs.querySelectorAll('button')].map((b) => b.textContent)
  );
}

// Waits until the columns show the given titles and the inspector names the given item.
export async function waitForView(page, titles, heading) {
  await page.waitForFunction(
    ([expectedTitles, expectedHeading]) => {
      const titlesNow = [...document.querySelectorAll('#browser-columns .browser-column-title')].map((t) => t.textContent);
      const headingNow = document.querySelector('#inspector-body h3')?.textContent;
      return JSON.stringify(titlesNow) === JSON.stringify(expectedTitles) && headingNow === expectedHeading;
    },
    [titles, heading],
    { timeout: 15000 }
  );
}

// The path of the item a list box (a column or the grid) with the focus has active.
export function activeItem(page) {
  return page.evaluate(() => {
    const id = document.activeElement.getAttribute('aria-activedescendant');
    return id ? document.getElementById(id)?.dataset.path : undefined;
  });
}

// The open viewer's name and counter, null when it is closed; and its photo on screen.
export const readViewer = (page) =>
  page.evaluate(() => {
    const viewer = document.querySelector('.viewer');
    return viewer && [viewer.getAttribute('aria-label'), viewer.querySelector('.viewer-counter').textContent];
  });
export const SHOWN = '.viewer-slide:not([aria-hidden]) img';
export const photoShown = (page, width = 1) =>
  page.waitForFunction(([shown, least]) => document.querySelector(shown)?.naturalWidth >= least, [SHOWN, width]);
