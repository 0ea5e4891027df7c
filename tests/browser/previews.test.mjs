// Previews in real Chromium: a photo (thumbnail, then the full image, full size in a new tab), a song, the start of a text, a PDF opened in a tab of its own, thumbnails in the rows on
// screen only, the preview following the arrow keys and fitting a phone; and hostile files that never
// run their script, whichever URL opens them.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { accessibilityViolations } from './support/audit.mjs';
import { screenshot, sessionForTests, writeTree } from './support/harness.mjs';
import { pdfBytes, writePhotos, writeSong, writeVideo } from './support/media.mjs';
import { waitForView } from './support/view.mjs';

// Text past the preview's 64 KB: markup that must stay text, and a two-byte character across the cut.
const LONG_TEXT = '<b>bold?</b> & "quotes"\n' + 'x'.repeat(65536 - 25) + 'é and more after the cut\n';
// Each hostile file asks for /__ran with the page's cookies if its script ever runs.
const PAYLOAD = "new Image().src='/__ran?'+encodeURIComponent(document.cookie)";
const HOSTILE = {
  'evil.html': '<!doctype html><p>hi</p><script>' + PAYLOAD + '</script><img src=x onerror="' + PAYLOAD + '">',
  'evil.svg': '<svg xmlns="http://www.w3.org/2000/svg"><script>' + PAYLOAD + '</script></svg>',
  'evil.xml':
    '<?xml version="1.0"?><root><script xmlns="http://www.w3.org/1999/xhtml">' + PAYLOAD + '</script></root>',
  'evil-page.jpg': '<!doctype html><script>' + PAYLOAD + '</script>',
  'evil-page.txt': '<!doctype html><script>' + PAYLOAD + '</script>',
};

function mediaTree() {
  const root = writeTree({ 'docs/long.txt': LONG_TEXT, 'docs/readme.md': '# Notes\n<i>not markup</i>\n', 'empty/': null });
  writePhotos(path.join(root, 'Holiday'), 'Beach %02d.jpg', 7, '1280x800', 3);
  writePhotos(path.join(root, 'camera'), 'IMG_%04d.jpg', 300, '160x120', 5);
  fs.writeFileSync(path.join(root, 'Holiday', 'broken.jpg'), 'not a picture at all');
  writeVideo(path.join(root, 'Holiday', 'clip.webm'), 12);
  writeSong(path.join(root, 'docs', 'tone.ogg'), 4);
  fs.writeFileSync(path.join(root, 'docs', 'guide.pdf'), pdfBytes('Hello from the guide'));
  return root;
}

const session = sessionForTests(
  () => ({
    shares: { media: mediaTree(), vault: writeTree(HOSTILE) },
    names: { media: 'Media', vault: 'Vault' },
    passwords: { vault: 'open sesame' },
  }),
  // The detector's own request finds nothing.
  { expected: [/status of 404 .*\/__ran\?\)$/, /status of 401/] }
);

const HOLIDAY = ['Media', 'Holiday'];

// Records the requests of a page that match a pattern, in the order they were made, with their Range
// header and, once answered, their status.
function recordRequests(page, pattern) {
  const seen = [];
  page.on('request', (request) => {
    if (!pattern.test(request.url())) return;
    const entry = { url: new URL(request.url()).search, range: request.headers().range, status: null };
    seen.push(entry);
    request.response().then((response) => (entry.status = response?.status() ?? null), () => {});
  });
  return seen;
}

function previewImage(page) {
  return page.$eval('.preview-image', (image) => ({
    src: new URL(image.src).search,
    full: image.classList.contains('is-full'),
    width: image.naturalWidth,
    alt: image.alt,
    link: image.closest('a').getAttribute('href'),
    target: image.closest('a').target,
  }));
}

test('a photo shows its thumbnail, then its display size, and opens full size in a new tab', async () => {
  const page = await session.open();
  const images = recordRequests(page, /Beach%2001\.jpg/);
  await page.goto(session.server.origin + '/media/Holiday/Beach%2001.jpg');
  await waitForView(page, HOLIDAY, 'Beach 01.jpg');
  await page.waitForSelector('.preview-image.is-full');
  assert.deepEqual(await previewImage(page), {
    src: '?preview=1', full: true, width: 1280, alt: 'Beach 01.jpg', link: '/media/Holiday/Beach%2001.jpg?view=1',
    target: '_blank',
  });
  const forms = images.map((request) => request.url);
  assert.ok(forms.indexOf('?thumb=1') >= 0 && forms.indexOf('?thumb=1') < forms.indexOf('?preview=1'), forms.join());

  const [tab] = await Promise.all([page.context().waitForEvent('page'), page.click('.preview-image-link')]);
  await tab.waitForLoadState();
  assert.equal(new URL(tab.url()).search, '?view=1');
  assert.equal(await tab.$eval('img', (image) => image.naturalWidth), 1280);
  await tab.close();

  // Every photo row but the broken one shows its thumbnail; the broken one keeps its icon.
  await page.waitForFunction(() => document.querySelectorAll('.column-entry-icon.has-thumb').length === 7);
  const rows = await page.$$eval('.browser-column:last-child .column-entry', (list) =>
    list.map((row) => [row.querySelector('.column-entry-name').textContent, !!row.querySelector('.has-thumb')])
  );
  assert.deepEqual(rows.filter(([, thumb]) => !thumb).map(([name]) => name), ['broken.jpg', 'clip.webm']);

  await screenshot(page, 'preview-image.png');

  // The arrow keys move the selection and the preview follows.
  await page.focus('.browser-column:last-child [role="listbox"]');
  await page.keyboard.press('ArrowDown');
  await waitForView(page, HOLIDAY, 'Beach 02.jpg');
  await page.waitForFunction(() => document.querySelector('.preview-image')?.alt === 'Beach 02.jpg');

  // On a phone the preview fits the screen.
  await page.setViewportSize({ width: 390, height: 844 });
  await page.goto(session.server.origin + '/media/Holiday/Beach%2005.jpg?theme=light');
  await page.waitForSelector('.preview-image.is-full');
  assert.ok(await page.$eval('.preview-card', (card) => card.getBoundingClientRect().right <= window.innerWidth));
  await screenshot(page, 'preview-phone.png');
});

test('only the rows on screen ask for thumbnails', async () => {
  const page = await session.open();
  const thumbnails = recordRequests(page, /thumb=1/);
  await page.goto(session.server.origin + '/media/camera/');
  await page.waitForFunction(() => document.querySelectorAll('.column-entry-icon.has-thumb').length >= 10);
  await page.waitForTimeout(500);
  const first = thumbnails.length;
  assert.ok(first >= 10 && first <= 40, 'thumbnails asked for at first: ' + first);
  await page.$eval('.browser-column:last-child .browser-column-list', (list) => (list.scrollTop = list.scrollHeight));
  await page.waitForFunction(() =>
    [...document.querySelectorAll('.column-entry-icon.has-thumb')].some((slot) =>
      slot.closest('.column-entry').textContent.includes('IMG_0300')
    )
  );
  assert.ok(thumbnails.length < 100, 'thumbnails asked for after scrolling: ' + thumbnails.length);
  await screenshot(page, 'thumbnails-column.png');
});

test('a song plays in the browser\'s own player', async () => {
  const page = await session.open();
  await page.goto(session.server.origin + '/media/docs/tone.ogg');
  await waitForView(page, ['Media', 'docs'], 'tone.ogg');
  const audio = await page.waitForSelector('audio.preview-audio');
  assert.equal(await audio.getAttribute('preload'), 'metadata');
  await page.waitForFunction(() => document.querySelector('audio').readyState >= 1);
  assert.ok(Math.abs((await audio.evaluate((element) => element.duration)) - 4) < 0.5);
});

test('a text shows its start as text; a PDF opens in a tab of its own', async () => {
  const page = await session.open('/media/docs/');
  await waitForView(page, ['Media', 'docs'], 'docs');
  const texts = recordRequests(page, /long\.txt\?view=1/);
  await page.click('text=long.txt');
  await page.waitForSelector('.preview-text:not([aria-busy])');
  const long = await page.$eval('.preview-card', (card) => ({
    text: card.querySelector('.preview-text').textContent,
    elements: card.querySelector('.preview-text').children.length,
    note: card.querySelector('.preview-note').hidden ? null : card.querySelector('.preview-note').textContent,
    font: getComputedStyle(card.querySelector('.preview-text')).fontFamily,
  }));
  // The cut falls inside the "é", which is left out rather than shown broken.
  assert.equal(long.text, LONG_TEXT.slice(0, 65535));
  assert.equal(long.elements, 0);
  assert.equal(long.note, 'Showing the first 64 KB.');
  assert.match(long.font, /mono/i);
  assert.equal(texts[0]?.range, 'bytes=0-65535');

  await page.click('text=readme.md');
  await page.waitForFunction(() => document.querySelector('.preview-text')?.textContent.startsWith('# Notes'));
  assert.equal(await page.$eval('.preview-note', (note) => note.hidden), true);
  assert.equal(await page.$eval('.preview-text', (text) => text.textContent), '# Notes\n<i>not markup</i>\n');

  await page.click('text=guide.pdf');
  const open = await page.waitForSelector('.preview-document a');
  assert.equal(await open.textContent(), 'Open');
  assert.equal(await open.getAttribute('href'), '/media/docs/guide.pdf?view=1');
  const [tab] = await Promise.all([page.context().waitForEvent('page'), open.click()]);
  // Chromium's PDF viewer runs in a frame of its own inside the tab.
  const viewer = () => tab.frames().some((frame) => frame.url().startsWith('chrome-extension://'));
  for (let waited = 0; !viewer() && waited < 10000; waited += 200) await tab.waitForTimeout(200);
  assert.ok(viewer(), tab.frames().map((frame) => frame.url()).join());
  await tab.close();
  assert.deepEqual(await accessibilityViolations(page), []);
});

test('a hostile file never runs script nor reads the cookies, whichever URL opens it', async () => {
  const { context } = session.browser;
  const origin = session.server.origin;
  const ran = [];
  const watch = (request) => {
    if (new URL(request.url()).pathname.startsWith('/__ran')) ran.push(request.url());
  };
  context.on('request', watch);
  // The detector itself works: a page that does run the payload is seen.
  const control = await context.newPage();
  await control.goto(origin + '/__asset/app-icon.png');
  await control.evaluate(PAYLOAD);
  await control.waitForTimeout(300);
  assert.equal(ran.length, 1);
  ran.length = 0;
  await control.close();

  // Unlocked, and with a cookie a script could read.
  const page = await session.open('/vault/');
  await page.fill('input[name="password"]', 'open sesame');
  await Promise.all([page.waitForNavigation(), page.click('button[type="submit"]')]);
  await context.addCookies([{ name: 'visible', value: 'readable-by-script', url: origin }]);

  for (const name of Object.keys(HOSTILE)) {
    for (const form of ['', '?download=1', '?view=1', '?thumb=1']) {
      const url = origin + '/vault/' + encodeURIComponent(name) + form;
      const tab = await context.newPage();
      // What a browser would run is always saved, never shown.
      if (form === '?download=1' || (form === '?view=1' && /\.(html|svg|xml)$/.test(name))) {
        const [download] = await Promise.all([tab.waitForEvent('download'), tab.goto(url).catch(() => {})]);
        assert.equal(download.suggestedFilename(), name);
      } else {
        await tab.goto(url);
        if (form === '') await waitForView(tab, ['Vault'], name);
      }
      await tab.waitForTimeout(200);
      await tab.close();
    }
  }
  context.off('request', watch);
  assert.deepEqual(ran, []);
});
