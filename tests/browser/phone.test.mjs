// A visitor with a phone (390 x 844, touch): one pane at a time from the shares to a folder's grid, the
// viewer opened with a tap, stepped with a swipe and the keys, closed with Escape and Back; a shared
// link to a photo; picking with a long press; a folder of 10,000 photos whose grid costs a screenful
// and asks only for the thumbnails in sight. Screenshots of the grid and the viewer in both themes.
import { test } from 'node:test';
import { execFileSync } from 'node:child_process';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { accessibilityViolations } from './support/audit.mjs';
import { screenshot, sessionForTests, writeTree } from './support/harness.mjs';
import { writePhotos, writeVideo } from './support/media.mjs';
import { activeItem, photoShown, readViewer, SHOWN } from './support/view.mjs';

const MANY = 10000;
// A name that is markup, an entity, a percent escape and URL syntax at once.
const HOSTILE = 'x" <img src=y onerror=alert(1)> &amp; 100%25 #?.jpg';

function galleryTree() {
  const root = writeTree({ 'Holiday/notes.txt': 'packing list', 'Holiday/Day 2/': null, 'docs/readme.md': '# hi' });
  writePhotos(path.join(root, 'Holiday'), 'IMG_%04d.jpg', 12, '1200x900', 7);
  writeVideo(path.join(root, 'Holiday', 'clip.webm'), 2);
  // What an iPhone takes: HEIC, which the server shows as JPEG.
  fs.mkdirSync(path.join(root, 'iphone'));
  const heic = path.join(root, 'iphone', 'IMG_0001.HEIC');
  execFileSync('heif-enc', ['-q', '60', path.join(root, 'Holiday', 'IMG_0002.jpg'), '-o', heic]);
  fs.mkdirSync(path.join(root, 'odd'));
  const photo = path.join(root, 'Holiday', 'IMG_0001.jpg');
  for (const name of [HOSTILE, 'a+b.jpg']) fs.copyFileSync(photo, path.join(root, 'odd', name));
  // Links to one small photo: real thumbnails, made in no time.
  const many = (index) => path.join(root, 'many', 'P' + String(index).padStart(5, '0') + '.jpg');
  writePhotos(path.join(root, 'many'), 'P00001.jpg', 1, '160x120', 2);
  for (let index = 2; index <= MANY; index += 1) fs.linkSync(many(1), many(index));
  return root;
}

const session = sessionForTests(
  () => ({ shares: { g: galleryTree(), w: writeTree({ 'a.txt': 'x' }) }, names: { g: 'Gallery', w: 'Work' } }),
  { device: { viewport: { width: 390, height: 844 }, hasTouch: true, isMobile: true, deviceScaleFactor: 2 } }
);

// What the visitor sees: the pane, its back control and title, and the viewer's name and counter.
async function readPhone(page) {
  const seen = await page.evaluate(() => {
    const shown = (element) => !!element && element.getClientRects().length > 0;
    const back = [...document.querySelectorAll('.pane-back')].find(shown);
    return {
      pane: document.querySelector('.app-shell').dataset.pane,
      panes: ['.sidebar', '.welcome-panel', '.browser:not(.welcome-panel)', '.inspector']
        .filter((selector) => shown(document.querySelector(selector)))
        .map((selector) => selector.replace(/[.]|:.*/g, '')),
      back: back ? back.getAttribute('aria-label') : null,
      title: document.querySelector('.browser .pane-title')?.textContent ?? null,
      path: location.pathname + location.search,
      sideways: document.documentElement.scrollWidth > window.innerWidth,
    };
  });
  return { ...seen, viewer: await readViewer(page) };
}

async function until(page, expected) {
  const deadline = Date.now() + 10000;
  let seen;
  while (Date.now() < deadline) {
    seen = await readPhone(page);
    const same = ([key, value]) => JSON.stringify(seen[key]) === JSON.stringify(value);
    if (Object.entries(expected).every(same)) return seen;
    await page.waitForTimeout(50);
  }
  assert.deepEqual(seen, { ...seen, ...expected });
  return seen;
}

// A finger on the screen, through the debugging protocol: real touch events, as a phone sends them.
async function touch(page, points, holdMs = 0) {
  const cdp = await page.context().newCDPSession(page);
  const send = (type, [x, y] = []) =>
    cdp.send('Input.dispatchTouchEvent', { type, touchPoints: type === 'touchEnd' ? [] : [{ x, y }] });
  await send('touchStart', points[0]);
  if (holdMs) await page.waitForTimeout(holdMs);
  for (const point of points.slice(1)) await send('touchMove', point);
  await send('touchEnd');
  await cdp.detach();
}

const swipeLeft = (page) => touch(page, [[330, 420], [280, 422], [200, 425], [120, 425], [60, 426]]);

test('a phone walks share, folder, viewer and back, one pane at a time', async () => {
  const page = await session.open('/');
  await until(page, { pane: 'shares', panes: ['sidebar', 'welcome-panel'], back: null, sideways: false });
  assert.deepEqual(await accessibilityViolations(page), [], 'shares');
  await page.tap('.share-row[data-slug="g"]');
  await until(page, { pane: 'folder', panes: ['browser'], back: 'Back to Shares', title: 'Gallery', path: '/g/' });
  // The root holds folders, so it opens as a list; every control is at least 44 px to a side.
  const small = await page.$$eval('.browser button:not([hidden]), .browser .column-entry', (elements) =>
    elements
      .filter((e) => e.getClientRects().length && (e.offsetWidth < 44 || e.offsetHeight < 44))
      .map((e) => e.outerHTML.slice(0, 60))
  );
  assert.deepEqual(small, []);
  await page.tap('.column-entry[data-path="Holiday"]');
  await until(page, { back: 'Back to Gallery', title: 'Holiday', path: '/g/Holiday/', sideways: false });
  // A folder of photos opens as a grid, and remembers nothing until the visitor chooses.
  await page.waitForSelector('.grid-tile.has-thumb img[alt="IMG_0004.jpg"]');
  assert.equal(await page.getAttribute('[data-mode="grid"]', 'aria-pressed'), 'true');
  const marker = await page.evaluate(() => (window.__samePage = Math.random()));

  await page.tap('.grid-tile[data-path="Holiday/IMG_0001.jpg"]');
  await until(page, { viewer: ['IMG_0001.jpg', '2 of 13'], path: '/g/Holiday/?view=IMG_0001.jpg' });
  const dialog = await page.$eval('.viewer', (v) => [v.getAttribute('role'), v.getAttribute('aria-modal')]);
  assert.deepEqual(dialog, ['dialog', 'true']);
  await swipeLeft(page);
  await until(page, { viewer: ['IMG_0002.jpg', '3 of 13'], path: '/g/Holiday/?view=IMG_0002.jpg' });
  // Stepping replaces the entry: one Back closes the viewer, whatever was seen in it.
  for (const [key, name, count] of [
    ['ArrowRight', 'IMG_0003.jpg', '4 of 13'],
    ['ArrowLeft', 'IMG_0002.jpg', '3 of 13'],
  ]) {
    await page.keyboard.press(key);
    await until(page, { viewer: [name, count] });
  }
  await page.keyboard.press('Escape');
  await until(page, { viewer: null, path: '/g/Holiday/' });
  // The focus is back on the photo last seen.
  assert.equal(await activeItem(page), 'Holiday/IMG_0002.jpg');

  await page.tap('.grid-tile[data-path="Holiday/IMG_0005.jpg"]');
  await until(page, { viewer: ['IMG_0005.jpg', '6 of 13'] });
  await page.goBack();
  await until(page, { viewer: null, path: '/g/Holiday/', pane: 'folder' });
  await page.tap('.grid-tile[data-path="Holiday/notes.txt"]');
  await until(page, { pane: 'file', panes: ['inspector'], back: 'Back to Holiday', path: '/g/Holiday/notes.txt' });
  await page.tap('.inspector .pane-back');
  await until(page, { pane: 'folder', path: '/g/Holiday/' });
  await page.tap('.browser .pane-back');
  await until(page, { pane: 'folder', path: '/g/', title: 'Gallery' });
  await page.tap('.browser .pane-back');
  await until(page, { pane: 'shares', path: '/' });
  // Going up went back through the history rather than piling new entries on it, in one page.
  await page.goForward();
  await until(page, { pane: 'folder', path: '/g/' });
  assert.equal(await page.evaluate(() => window.__samePage), marker);
});

test('a link to a photo opens the viewer, which a long press and taps leave for picking', async () => {
  const page = await session.open();
  for (const theme of ['dark', 'light']) {
    await page.goto(session.server.origin + '/g/Holiday/?view=IMG_0005.jpg&theme=' + theme);
    await until(page, { viewer: ['IMG_0005.jpg', '6 of 13'] });
    await photoShown(page);
    assert.deepEqual(await accessibilityViolations(page), [], 'viewer, ' + theme);
    await screenshot(page, 'phone-viewer-' + theme + '.png');
    const entries = await page.evaluate(() => history.length);
    await page.tap('.viewer-close');
    await until(page, { viewer: null, path: '/g/Holiday/' });
    assert.equal(await page.evaluate(() => history.length), entries);
    await page.waitForFunction(() => document.querySelectorAll('.grid-tile.has-thumb').length === 12);
    assert.deepEqual(await accessibilityViolations(page), [], 'grid, ' + theme);
    await screenshot(page, 'phone-grid-' + theme + '.png');
  }
  // A name the folder does not hold, or that is no photo, leaves the folder as it is.
  for (const name of ['nothing.jpg', 'notes.txt']) {
    await page.goto(session.server.origin + '/g/Holiday/?view=' + name);
    await until(page, { viewer: null, path: '/g/Holiday/' });
  }

  const tile = async (name) => (await page.$('.grid-tile[data-path="Holiday/' + name + '"]')).boundingBox();
  const held = await tile('IMG_0003.jpg');
  await touch(page, [[held.x + 40, held.y + 40]], 700);
  await page.waitForSelector('#pick-count:text("1 selected")');
  await page.tap('.grid-tile[data-path="Holiday/IMG_0004.jpg"]');
  await page.tap('.grid-tile[data-path="Holiday/Day 2"]');
  await page.tap('.grid-tile[data-path="Holiday/IMG_0003.jpg"]');
  await page.tap('.grid-tile[data-path="Holiday/IMG_0006.jpg"]');
  assert.equal(await page.textContent('#pick-count'), '3 selected');
  assert.equal(await readPhone(page).then((seen) => seen.viewer), null);
  const [request] = await Promise.all([page.waitForRequest(/download=1/), page.tap('#pick-download')]);
  assert.equal(new URL(request.url()).search, '?download=1&pick=Day%202&pick=IMG_0004.jpg&pick=IMG_0006.jpg');
  await page.tap('[data-action="pick-cancel"]');
  assert.equal(await page.$$eval('.grid-tile[aria-checked]', (tiles) => tiles.length), 0);

  // A HEIC photo shows its thumbnail and opens in the viewer at display size.
  await page.goto(session.server.origin + '/g/iphone/');
  await page.waitForSelector('.grid-tile.has-thumb img[alt="IMG_0001.HEIC"]');
  await page.tap('.grid-tile[data-path="iphone/IMG_0001.HEIC"]');
  await photoShown(page, 1200);
  assert.equal(await page.$eval(SHOWN, (image) => new URL(image.src).search), '?preview=1');
  await page.keyboard.press('Escape');

  // Hostile names are shown as they are, travel the URL intact and pick as themselves.
  await page.goto(session.server.origin + '/g/odd/?view=' + encodeURIComponent(HOSTILE));
  await until(page, { viewer: [HOSTILE, '2 of 2'] });
  await swipeLeft(page);
  await page.keyboard.press('ArrowLeft');
  await until(page, { viewer: ['a+b.jpg', '1 of 2'], path: '/g/odd/?view=a%2Bb.jpg' });
  await page.keyboard.press('Escape');
  const alts = await page.$$eval('.grid-tile img', (images) => images.map((image) => image.alt));
  assert.deepEqual(alts, ['a+b.jpg', HOSTILE]);
  assert.equal(await page.$('img[src="y"]'), null);
  await page.tap('[data-action="pick-start"]');
  await page.tap('[data-action="pick-all"]');
  const [odd] = await Promise.all([page.waitForRequest(/download=1/), page.tap('#pick-download')]);
  assert.equal(new URL(odd.url()).search, '?download=1&pick=a%2Bb.jpg&pick=' + encodeURIComponent(HOSTILE));
});

test('a grid of 10,000 photos costs a screenful, asks for the thumbnails in sight and drops the rest', async () => {
  const page = await session.open();
  const asked = [];
  const dropped = [];
  let holding = false;
  await page.route(/thumb=1/, (route) => {
    asked.push(/P(\d+)/.exec(route.request().url())[1]);
    if (!holding) route.continue().catch(() => {});
  });
  page.on('requestfailed', (request) => dropped.push(/P(\d+)/.exec(request.url())?.[1]));
  await page.goto(session.server.origin + '/g/many/');
  await page.waitForFunction(() => document.querySelectorAll('.grid-tile.has-thumb').length >= 18);
  const elements = () => page.evaluate(() => document.getElementsByTagName('*').length);
  assert.ok((await elements()) < 3000, 'elements: ' + (await elements()));
  const first = asked.length;
  assert.ok(first >= 18 && first <= 40, 'thumbnails asked for at first: ' + first);

  // A fling to the middle asks for what it lands on, not for what flew by.
  holding = true;
  await page.$eval('.grid-list', (list) => (list.scrollTop = list.scrollHeight / 2));
  await page.waitForFunction((count) => document.querySelectorAll('.grid-tile img[src]').length > 0, first);
  await page.waitForTimeout(400);
  const landed = asked.slice(first).map(Number);
  assert.ok(landed.length >= 18 && landed.length <= 40, 'asked for in the middle: ' + landed.length);
  assert.ok(landed.every((index) => Math.abs(index - MANY / 2) < 200), landed.join());
  // Scrolled away before they arrived, they are dropped.
  await page.$eval('.grid-list', (list) => (list.scrollTop = list.scrollHeight));
  await page.waitForFunction((count) => document.querySelector('.grid-tile[data-path="many/P10000.jpg"]'));
  for (let waited = 0; dropped.length < landed.length && waited < 5000; waited += 100) await page.waitForTimeout(100);
  assert.deepEqual(dropped.map(Number).sort(), [...landed].sort());
  assert.ok((await elements()) < 3000, 'elements at the end: ' + (await elements()));
});
