// Names on disk are the visitor's enemy: quotes, angle brackets, ampersands and percent signs must
// show as typed everywhere, never become markup, and still lead to the right place when clicked.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { launchBrowser, startServer, temporaryFolder, writeTree } from './support/harness.mjs';
import { readBreadcrumb, readColumns, readInspector, waitForView } from './support/view.mjs';

const SHARE_NAME = 'Q&A <"team"> 100%';
const FOLDER = 'say "hi" <b>&amp; 100%';
const FILE = 'x<i>&"%25.txt';
const TRAP = '<img src=x onerror="document.title=1">';

let server;
let browser;

before(async () => {
  const root = writeTree(temporaryFolder('odd-'), {
    [FOLDER + '/inner/deeper.txt']: 'deep',
    [FOLDER + '/' + FILE]: 'percent file',
    [TRAP]: 'trap',
  });
  server = await startServer({ shares: { odd: root }, names: { odd: SHARE_NAME } });
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  await server?.stop();
});

test('hostile names show as typed in columns, breadcrumb, inspector and sidebar', async () => {
  const page = await browser.newPage();
  const url = '/odd/' + encodeURIComponent(FOLDER) + '/inner/';
  await page.goto(server.origin + url);
  await waitForView(page, [SHARE_NAME, FOLDER, 'inner'], 'inner');

  const columns = await readColumns(page);
  assert.deepEqual(columns[0].rows, [FOLDER, TRAP]);
  assert.deepEqual(columns[0].marked, [FOLDER]);
  assert.deepEqual(columns[1].rows, ['inner', FILE]);
  assert.deepEqual(await readBreadcrumb(page), [SHARE_NAME, FOLDER, 'inner']);
  const inspector = await readInspector(page);
  assert.equal(inspector.subtitle, FOLDER + '/inner');
  assert.equal(inspector.values['Share link'], url);
  assert.equal(await page.textContent('.share-row-title'), SHARE_NAME);
  assert.equal(await page.textContent('.browser-title h1'), SHARE_NAME);

  // Nothing from a name became an element or ran.
  assert.equal(await page.locator('#app img').count(), 1); // the brand icon only
  assert.equal(await page.locator('#app b, #app i').count(), 0);
  assert.notEqual(await page.title(), '1');
  await page.close();
});

test('breadcrumb buttons and rows with hostile names open the right items', async () => {
  const page = await browser.newPage();
  await page.goto(server.origin + '/odd/' + encodeURIComponent(FOLDER) + '/inner/deeper.txt');
  await waitForView(page, [SHARE_NAME, FOLDER, 'inner'], 'deeper.txt');

  await page.locator('#breadcrumb button', { hasText: 'hi' }).click();
  await waitForView(page, [SHARE_NAME, FOLDER], FOLDER);
  assert.equal(new URL(page.url()).pathname, '/odd/' + encodeURIComponent(FOLDER) + '/');

  await page.locator('.column-entry', { hasText: '%25.txt' }).click();
  await waitForView(page, [SHARE_NAME, FOLDER], FILE);
  const inspector = await readInspector(page);
  const fileURL = '/odd/' + encodeURIComponent(FOLDER) + '/' + encodeURIComponent(FILE);
  assert.equal(inspector.subtitle, FOLDER + '/' + FILE);
  assert.equal(inspector.values['Share link'], fileURL);
  assert.equal(new URL(page.url()).pathname, fileURL);
  // The server may leave characters such as "&" unencoded in a path; it must name the same file.
  assert.equal(decodeURIComponent(inspector.links.Download), '/odd/' + FOLDER + '/' + FILE + '?download=1');
  const download = await page.request.get(server.origin + inspector.links.Download);
  assert.equal(download.status(), 200);
  assert.equal(await download.text(), 'percent file');

  // The trap file opens like any other and its name stays text in the inspector.
  await page.locator('#breadcrumb button').first().click();
  await page.locator('.column-entry', { hasText: 'onerror' }).click();
  await waitForView(page, [SHARE_NAME], TRAP);
  assert.equal((await readInspector(page)).heading, TRAP);
  assert.notEqual(await page.title(), '1');
  await page.close();
  assert.deepEqual(browser.problems, []);
});
