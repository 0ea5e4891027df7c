// The grid, the viewer and picking on a desktop: the Columns/Grid toggle kept per share, the keys in
// the grid and the viewer, the full-size photo on demand, picks made with the mouse and the keys and
// downloaded in the URL or, when they are too many for one, as a form; screenshots and audits.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { accessibilityViolations } from './support/audit.mjs';
import { screenshot, sessionForTests, writeTree } from './support/harness.mjs';
import { writePhotos } from './support/media.mjs';
import { activeItem, photoShown, readViewer, SHOWN, waitForView } from './support/view.mjs';

const MANY = 1500; // names long enough together to need a form
const longName = (index) => 'a long file name number ' + index + '.jpg';

function galleryTree() {
  const root = writeTree({ 'Holiday/notes.txt': 'list', 'Holiday/Day 2/inside.txt': 'x', 'Holiday/.hidden': 'x' });
  writePhotos(path.join(root, 'Holiday'), 'IMG_%04d.jpg', 9, '2400x1600', 4);
  const many = path.join(root, 'many');
  fs.mkdirSync(many);
  for (let index = 1; index <= MANY; index += 1) fs.writeFileSync(path.join(many, longName(index)), '');
  return root;
}

const session = sessionForTests(() => ({
  shares: { g: galleryTree(), w: writeTree({ 'a.txt': 'x' }) },
  names: { g: 'Gallery', w: 'Work' },
}));

const pressed = (page) =>
  page.$$eval('.view-toggle-button', (buttons) => buttons.map((b) => b.textContent + ':' + b.ariaPressed));
test('the toggle is kept per share; the keys walk the grid and the viewer, full size on demand', async () => {
  const page = await session.open('/g/Holiday/');
  await waitForView(page, ['Gallery', 'Holiday'], 'Holiday');
  assert.deepEqual(await pressed(page), ['Columns:true', 'Grid:false']);
  // Enter on a photo's row opens the viewer; Escape gives the focus back to its column.
  await page.click('.column-entry[data-path="Holiday/IMG_0002.jpg"]');
  await waitForView(page, ['Gallery', 'Holiday'], 'IMG_0002.jpg');
  await page.keyboard.press('Enter');
  await page.waitForSelector('.viewer[aria-label="IMG_0002.jpg"]');
  await page.keyboard.press('Escape');
  assert.equal(await page.evaluate(() => document.activeElement.getAttribute('role')), 'listbox');

  await page.click('[data-mode="grid"]');
  await page.waitForSelector('.grid-tile.has-thumb img[alt="IMG_0009.jpg"]');
  await page.reload();
  await page.waitForSelector('.grid-tile img[alt="IMG_0001.jpg"]');
  assert.deepEqual(await pressed(page), ['Columns:false', 'Grid:true']);
  await page.goto(session.server.origin + '/w/');
  await waitForView(page, ['Work'], 'Work');
  assert.deepEqual(await pressed(page), ['Columns:true', 'Grid:false']);

  await page.goto(session.server.origin + '/g/Holiday/');
  await page.focus('.grid-list');
  // Four tiles to a row.
  for (const [key, heading] of [
    ['ArrowRight', 'Day 2'],
    ['ArrowRight', 'IMG_0001.jpg'],
    ['ArrowDown', 'IMG_0005.jpg'],
    ['ArrowLeft', 'IMG_0004.jpg'],
  ]) {
    await page.keyboard.press(key);
    await waitForView(page, ['Gallery', 'Holiday'], heading);
    assert.equal(await activeItem(page), 'Holiday/' + heading);
  }
  await page.keyboard.press('Enter');
  await photoShown(page);
  assert.deepEqual(await readViewer(page), ['IMG_0004.jpg', '4 of 9']);
  await page.click('text=Full size');
  await page.waitForFunction((shown) => new URL(document.querySelector(shown).src).search === '?view=1', SHOWN);
  assert.equal(await page.getAttribute('.viewer-full', 'aria-pressed'), 'true');
  assert.equal(await page.$eval(SHOWN, (image) => image.naturalWidth), 2400);
  await page.click('[aria-label="Next"]');
  assert.deepEqual(await readViewer(page), ['IMG_0005.jpg', '5 of 9']);
  assert.equal(await page.getAttribute('.viewer-full', 'aria-pressed'), 'false');
  assert.equal(await page.getAttribute('.viewer-download', 'href'), '/g/Holiday/IMG_0005.jpg?download=1');
  await page.keyboard.press('End');
  assert.equal(await page.isDisabled('[aria-label="Next"]'), true);
  await page.keyboard.press('Escape');
  assert.equal(await activeItem(page), 'Holiday/IMG_0009.jpg');
  // Enter on a folder's tile opens it.
  await page.keyboard.press('Home');
  await page.keyboard.press('Enter');
  await waitForView(page, ['Gallery', 'Holiday', 'Day 2'], 'Day 2');
  await page.waitForSelector('.grid-tile[data-path="Holiday/Day 2/inside.txt"]');
});

test('picks made with Ctrl, Shift, a box and Space download as one ZIP, in the URL or as a form', async () => {
  const page = await session.open('/g/Holiday/');
  await page.waitForSelector('.grid-tile img[alt="IMG_0001.jpg"]');
  const tile = (name) => '.grid-tile[data-path="Holiday/' + name + '"]';
  await page.click(tile('IMG_0002.jpg'), { modifiers: ['Control'] });
  await page.click(tile('IMG_0005.jpg'), { modifiers: ['Shift'] });
  await page.click(tile('Day 2'), { position: { x: 18, y: 18 } });
  // While picking, a plain click picks too.
  await page.click(tile('IMG_0004.jpg'));
  assert.equal(await page.textContent('#pick-count'), '4 selected');
  assert.equal(await page.$('.viewer'), null);
  const asked = (request) => /download=1/.test(request.url()) || request.method() === 'POST';
  const download = async () => (await Promise.all([page.waitForRequest(asked), page.click('#pick-download')]))[0];
  const picked = await download();
  const picks = '&pick=Day%202&pick=IMG_0002.jpg&pick=IMG_0003.jpg&pick=IMG_0005.jpg';
  assert.equal(new URL(picked.url()).search, '?download=1' + picks);
  // The picks belong to the folder: in its column, Space picks and Escape ends it all.
  await page.click('[data-mode="columns"]');
  await page.focus('.browser-column:last-child .browser-column-list');
  await page.keyboard.press('End');
  await waitForView(page, ['Gallery', 'Holiday'], 'notes.txt');
  await page.keyboard.press(' ');
  assert.equal(await page.textContent('#pick-count'), '5 selected');
  assert.equal(await page.getAttribute('.column-entry[data-path="Holiday/notes.txt"]', 'aria-checked'), 'true');
  assert.deepEqual(await accessibilityViolations(page), [], 'picking in a column');
  await page.keyboard.press('Escape');
  assert.equal(await page.isHidden('#pick-bar'), true);

  // 1,500 names make a URL of some 40 KB: they go as a form's body to the same address.
  await page.goto(session.server.origin + '/g/many/');
  await page.waitForSelector('.column-entry[data-path^="many/"]');
  await page.click('[data-action="pick-start"]');
  await page.click('[data-action="pick-all"]');
  assert.equal(await page.textContent('#pick-count'), '1,500 selected');
  const form = await download();
  assert.deepEqual([form.method(), new URL(form.url()).pathname + new URL(form.url()).search], ['POST', '/g/many/']);
  const fields = new URLSearchParams(form.postData());
  assert.equal(fields.get('download'), '1');
  const names = Array.from({ length: MANY }, (_, index) => longName(index + 1));
  assert.deepEqual(fields.getAll('pick').sort(), names.sort());
});

test('three photos and a folder picked download as a ZIP of exactly those', async () => {
  const page = await session.open('/g/Holiday/');
  await page.click('[data-mode="grid"]');
  for (const name of ['IMG_0001.jpg', 'IMG_0003.jpg', 'IMG_0007.jpg', 'Day 2']) {
    await page.click('.grid-tile[data-path="Holiday/' + name + '"]', { modifiers: ['Control'] });
  }
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#pick-download')]);
  assert.equal(download.suggestedFilename(), 'Holiday.zip');
  const file = path.join(process.env.TMPDIR, 'picked.zip');
  await download.saveAs(file);
  const names = execFileSync('unzip', ['-Z1', file], { encoding: 'utf8' }).trim().split('\n').sort();
  const photos = ['IMG_0001.jpg', 'IMG_0003.jpg', 'IMG_0007.jpg'].map((name) => 'Holiday/' + name);
  assert.deepEqual(names, ['Holiday/', 'Holiday/Day 2/', 'Holiday/Day 2/inside.txt', ...photos]);
});

test('the grid and the viewer on a desktop in both themes: screenshots and audits', async () => {
  const page = await session.open();
  for (const theme of ['dark', 'light']) {
    await page.goto(session.server.origin + '/g/Holiday/IMG_0003.jpg?theme=' + theme);
    if (theme === 'dark') await page.click('[data-mode="grid"]');
    await page.waitForFunction(() => document.querySelectorAll('.grid-tile.has-thumb').length === 9);
    await page.click('.grid-tile[data-path="Holiday/IMG_0004.jpg"]', { modifiers: ['Control'] });
    await page.hover('.grid-tile[data-path="Holiday/IMG_0006.jpg"]');
    assert.deepEqual(await accessibilityViolations(page), [], 'grid, ' + theme);
    await screenshot(page, 'grid-' + theme + '.png');
    await page.click('[data-action="pick-cancel"]');
    await page.click('.grid-tile[data-path="Holiday/IMG_0006.jpg"]');
    await photoShown(page);
    // The whole photo is in sight: a landscape photo on a wide screen fits its height.
    const rect = await page.$eval(SHOWN, (image) => image.getBoundingClientRect().toJSON());
    assert.ok(rect.bottom <= 900 && rect.right <= 1440 && rect.height > 700, JSON.stringify(rect));
    assert.deepEqual(await accessibilityViolations(page), [], 'viewer, ' + theme);
    await screenshot(page, 'viewer-' + theme + '.png');
  }
});
