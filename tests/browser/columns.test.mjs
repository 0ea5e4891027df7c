// The column browser over a camera folder of 10,000 photos: the column shows with only the rows in
// view in the page, a row far down is reached by scrolling and by typing its name, a click touches
// only what it changed, the keyboard walks three folder levels in and back out, and the pages (search
// results among them) pass an accessibility audit.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { accessibilityViolations } from './support/audit.mjs';
import { sessionForTests, writeTree } from './support/harness.mjs';
import { readColumns, waitForView } from './support/view.mjs';

const PHOTOS = 10000;
const photo = (number) => 'IMG_' + String(number).padStart(5, '0') + '.jpg';

function cameraTree() {
  const tree = {
    'camera/Alps/': null, 'camera/zebra.txt': 'z', 'camera/Zulu/level2/level3/leaf.txt': 'leaf',
    'camera/Zulu/level2/level3/other.txt': 'x', 'notes.txt': 'n',
  };
  for (let number = 1; number <= PHOTOS; number += 1) tree['camera/' + photo(number)] = 1500000 + number;
  return tree;
}

let photosFolder;
const session = sessionForTests(
  () => ({
    shares: { photos: (photosFolder = writeTree(cameraTree())), vault: writeTree({ 'q1.pdf': 100 }) },
    names: { photos: 'Camera Roll', vault: 'Finance Vault' },
    passwords: { vault: 'correct horse' },
  }),
  { expected: [/status of 401/] }
);

const CAMERA = ['Camera Roll', 'camera'];

function nodeCount(page) {
  return page.evaluate(() => {
    const walker = document.createTreeWalker(document, NodeFilter.SHOW_ALL);
    let count = 0;
    while (walker.nextNode()) count += 1;
    return count;
  });
}

// The focused column's title and its selected row, as a screen reader hears them: the list box that
// has the focus and the option its aria-activedescendant names; and whether the column is in sight.
function focusedSelection(page) {
  return page.evaluate(() => {
    const list = document.activeElement;
    if (!list || list.getAttribute('role') !== 'listbox') return null;
    const row = document.getElementById(list.getAttribute('aria-activedescendant'));
    const [area, column] = [list.closest('#browser-columns'), list.closest('.browser-column')];
    const [outer, inner] = [area.getBoundingClientRect(), column.getBoundingClientRect()];
    return {
      column: document.getElementById(list.getAttribute('aria-labelledby')).textContent,
      inSight: inner.left >= outer.left && inner.right <= outer.right,
      row: row ? row.querySelector('.column-entry-name').textContent : null,
      selected: row ? row.getAttribute('aria-selected') : null,
      tabStops: document.querySelectorAll('#browser-columns [role="listbox"][tabindex="0"]').length,
    };
  });
}

// Whether the selected row of the focused column lies fully inside the column's visible part.
function selectionInView(page) {
  return page.evaluate(() => {
    const list = document.activeElement;
    const row = document.getElementById(list.getAttribute('aria-activedescendant'));
    const [outer, inner] = [list.getBoundingClientRect(), row.getBoundingClientRect()];
    return inner.top >= outer.top - 0.5 && inner.bottom <= outer.bottom + 0.5;
  });
}

test('10,000 photos: few nodes, scrolled to the end, and a click touches only what changed', async () => {
  const page = await session.open();
  const browses = [];
  page.on('request', (request) => {
    if (request.url().includes('/__browse/')) browses.push(new URL(request.url()).searchParams.get('path'));
  });
  await page.goto(session.server.origin + '/photos/');
  await waitForView(page, ['Camera Roll'], 'Camera Roll');
  await page.click('.column-entry[data-path="camera"]');
  await waitForView(page, CAMERA, 'camera');
  const [, camera] = await readColumns(page);
  assert.deepEqual(camera.rows.slice(0, 4), ['Alps', 'Zulu', photo(1), photo(2)]);
  assert.ok(camera.rows.length < 60, camera.rows.length + ' rows in the page');
  assert.equal(await page.getAttribute('.column-entry[data-path="camera/Alps"]', 'aria-setsize'), String(PHOTOS + 3));
  assert.ok((await nodeCount(page)) < 3000);

  // The wheel, as a visitor scrolls, down to a photo near the end.
  const target = '.column-entry[data-path="camera/' + photo(9990) + '"]';
  const list = page.locator('.browser-column:last-child .browser-column-list');
  const box = await list.boundingBox();
  await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
  for (let turns = 0; turns < 400 && !(await page.locator(target).isVisible()); turns += 1) {
    await page.mouse.wheel(0, 4000);
    await page.waitForTimeout(20);
  }
  await page.mouse.wheel(0, 120);
  await page.waitForTimeout(100);
  assert.ok((await nodeCount(page)) < 3000);

  // Neither a file nor the folder next to it asks again for the listings on its left; the column on
  // the left stays the element it was.
  await page.$eval('.browser-column', (column) => (column.dataset.probe = 'kept'));
  browses.length = 0;
  await page.click(target);
  await waitForView(page, CAMERA, photo(9990));
  assert.equal(new URL(page.url()).pathname, '/photos/camera/' + photo(9990));
  assert.deepEqual((await readColumns(page)).map((column) => column.marked), [['camera'], [photo(9990)]]);
  await list.evaluate((element) => (element.scrollTop = 0));
  await page.click('.column-entry[data-path="camera/Zulu"]');
  await waitForView(page, [...CAMERA, 'Zulu'], 'Zulu');
  assert.deepEqual(browses, ['camera/Zulu']);
  assert.equal(await page.getAttribute('.browser-column', 'data-probe'), 'kept');

  // Opening a folder again shows what it holds now.
  fs.writeFileSync(path.join(photosFolder, 'camera/Zulu/arrived.txt'), 'new');
  await page.locator('#breadcrumb button', { hasText: 'Zulu' }).click();
  await page.waitForSelector('.column-entry[data-path="camera/Zulu/arrived.txt"]');
  assert.deepEqual((await readColumns(page))[2].rows, ['level2', 'arrived.txt']);
  assert.deepEqual(browses, ['camera/Zulu', 'camera/Zulu']);
});

test('the keyboard walks three folders in and back out, pages, jumps to the ends and types names', async () => {
  const page = await session.open('/photos/camera/');
  // A narrow window, where the columns area shows less than two columns and the focus must bring
  // its column into sight (narrower still is the phone's one pane at a time).
  await page.setViewportSize({ width: 900, height: 900 });
  await waitForView(page, CAMERA, 'camera');
  const entries = await page.evaluate(() => history.length);
  await page.click('.column-entry[data-path="camera"]');
  const walk = async (key, titles, heading, focus) => {
    await page.keyboard.press(key);
    await waitForView(page, titles, heading);
    const expected = { ...focus, inSight: true, selected: focus.row ? 'true' : null, tabStops: 1 };
    assert.deepEqual(await focusedSelection(page), expected);
  };
  await walk('ArrowRight', [...CAMERA, 'Alps'], 'Alps', { column: 'camera', row: 'Alps' });
  await walk('ArrowDown', [...CAMERA, 'Zulu'], 'Zulu', { column: 'camera', row: 'Zulu' });
  await walk('ArrowRight', [...CAMERA, 'Zulu', 'level2'], 'level2', { column: 'Zulu', row: 'level2' });
  await walk('Enter', [...CAMERA, 'Zulu', 'level2', 'level3'], 'level3', { column: 'level2', row: 'level3' });
  await walk('ArrowRight', [...CAMERA, 'Zulu', 'level2', 'level3'], 'leaf.txt', { column: 'level3', row: 'leaf.txt' });
  assert.equal(new URL(page.url()).pathname, '/photos/camera/Zulu/level2/level3/leaf.txt');
  await walk('ArrowLeft', [...CAMERA, 'Zulu', 'level2', 'level3'], 'level3', { column: 'level2', row: 'level3' });
  await walk('ArrowLeft', [...CAMERA, 'Zulu', 'level2'], 'level2', { column: 'Zulu', row: 'level2' });
  await walk('ArrowLeft', [...CAMERA, 'Zulu'], 'Zulu', { column: 'camera', row: 'Zulu' });
  await walk('ArrowLeft', CAMERA, 'camera', { column: 'Camera Roll', row: 'camera' });
  assert.equal(new URL(page.url()).pathname, '/photos/camera/');
  // Key presses replace the history entry rather than burying the previous page under one per key.
  assert.equal(await page.evaluate(() => history.length), entries);

  // Right pressed before the column of the folder just reached has arrived still enters it.
  await walk('ArrowRight', [...CAMERA, 'Alps'], 'Alps', { column: 'camera', row: 'Alps' });
  await page.keyboard.press('ArrowDown');
  await walk('ArrowRight', [...CAMERA, 'Zulu', 'level2'], 'level2', { column: 'Zulu', row: 'level2' });
  await walk('ArrowLeft', [...CAMERA, 'Zulu'], 'Zulu', { column: 'camera', row: 'Zulu' });
  await walk('ArrowLeft', CAMERA, 'camera', { column: 'Camera Roll', row: 'camera' });

  // The ends and a page at a time (the rows in view less one), the selection always in sight. Rows
  // 0 and 1 are the folders, so the photo at row r is photo(r - 1).
  await walk('ArrowRight', [...CAMERA, 'Alps'], 'Alps', { column: 'camera', row: 'Alps' });
  const pageRows = await page.$eval('.browser-column:nth-child(2) .browser-column-list', (list) => {
    const pitch = parseFloat(list.querySelector('[aria-posinset="2"]').style.top);
    return Math.floor(list.clientHeight / pitch) - 1;
  });
  await walk('End', CAMERA, 'zebra.txt', { column: 'camera', row: 'zebra.txt' });
  assert.ok(await selectionInView(page));
  const paged = photo(PHOTOS + 2 - pageRows - 1);
  await walk('PageUp', CAMERA, paged, { column: 'camera', row: paged });
  const above = photo(PHOTOS + 2 - pageRows - 2);
  await walk('ArrowUp', CAMERA, above, { column: 'camera', row: above });
  await walk('Home', [...CAMERA, 'Alps'], 'Alps', { column: 'camera', row: 'Alps' });
  await walk('PageDown', CAMERA, photo(pageRows - 1), { column: 'camera', row: photo(pageRows - 1) });
  assert.ok(await selectionInView(page));

  // Typed letters find a name in listing order, whatever their case: folders come first.
  await page.keyboard.type('img_0750');
  await waitForView(page, CAMERA, photo(7500));
  assert.ok(await selectionInView(page));
  await page.waitForTimeout(1100);
  await page.keyboard.type('Z');
  await waitForView(page, [...CAMERA, 'Zulu'], 'Zulu');
  await page.keyboard.type('e');
  await waitForView(page, CAMERA, 'zebra.txt');
  assert.ok(await selectionInView(page));
  assert.equal(new URL(page.url()).pathname, '/photos/camera/zebra.txt');
});

test('the share page, the big folder with a selection, search results and the unlock page pass an audit', async () => {
  const page = await session.open();
  for (const theme of ['dark', 'light']) {
    await page.goto(session.server.origin + '/photos/?theme=' + theme);
    await waitForView(page, ['Camera Roll'], 'Camera Roll');
    assert.deepEqual(await accessibilityViolations(page), [], 'share page, ' + theme);
    await page.fill('#search-input', 'IMG_000');
    await page.waitForSelector('#search-results .column-entry');
    await page.focus('#search-results .browser-column-list');
    await page.keyboard.press('ArrowDown');
    assert.deepEqual(await accessibilityViolations(page), [], 'search results, ' + theme);
    await page.goto(session.server.origin + '/photos/camera/' + photo(4) + '?theme=' + theme);
    await waitForView(page, CAMERA, photo(4));
    await page.focus('.browser-column:last-child .browser-column-list');
    assert.deepEqual(await accessibilityViolations(page), [], 'folder, ' + theme);
  }
  assert.equal((await page.goto(session.server.origin + '/vault/')).status(), 401);
  // The unlock page is fixed markup without script, byte for byte what other clients know: one card
  // with a heading and a labelled form, but no landmark, which only these two best-practice rules ask for.
  assert.deepEqual(await accessibilityViolations(page, ['region', 'landmark-one-main']), [], 'unlock page');
});
