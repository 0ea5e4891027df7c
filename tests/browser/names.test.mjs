// Names on disk are the visitor's enemy: quotes, angle brackets, ampersands and percent signs must
// show as typed everywhere, never become markup, and still lead to the right place when clicked.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { sessionForTests, writeTree } from './support/harness.mjs';
import { readBreadcrumb, readColumns, readInspector, waitForView } from './support/view.mjs';

const SHARE_NAME = 'Q&A <"team"> 100%';
const FOLDER = 'say "hi" <b>&amp; 100%';
const FILE = 'x<i>&"%25.txt';
const TRAP = '<img src=x onerror="document.title=1">';

const session = sessionForTests(() => ({
  shares: {
    odd: writeTree({ [FOLDER + '/inner/deeper.txt']: 'deep', [FOLDER + '/' + FILE]: 'percent file', [TRAP]: 'trap' }),
  },
  names: { odd: SHARE_NAME },
}));

test('hostile names show as typed everywhere and their rows and breadcrumb buttons open them', async () => {
  const { server, browser } = session;
  const page = await browser.newPage();
  const folderURL = '/odd/' + encodeURIComponent(FOLDER) + '/';
  await page.goto(server.origin + folderURL + 'inner/deeper.txt');
  await waitForView(page, [SHARE_NAME, FOLDER, 'inner'], 'deeper.txt');
  const columns = await readColumns(page);
  assert.deepEqual(columns[0].rows, [FOLDER, TRAP]);
  assert.deepEqual(columns[0].marked, [FOLDER]);
  assert.deepEqual(columns[1].rows, ['inner', FILE]);
  assert.deepEqual(await readBreadcrumb(page), [SHARE_NAME, FOLDER, 'inner']);
  const deeper = await readInspector(page);
  assert.equal(deeper.subtitle, FOLDER + '/inner/deeper.txt');
  assert.equal(deeper.values['Share link'], folderURL + 'inner/deeper.txt');
  assert.equal(await page.textContent('.share-row-title'), SHARE_NAME);
  assert.equal(await page.textContent('.browser-title h1'), SHARE_NAME);
  // Nothing from a name became an element or ran.
  assert.equal(await page.locator('#app img').count(), 1); // the brand icon only
  assert.equal(await page.locator('#app b, #app i').count(), 0);

  await page.locator('#breadcrumb button', { hasText: 'hi' }).click();
  await waitForView(page, [SHARE_NAME, FOLDER], FOLDER);
  assert.equal(new URL(page.url()).pathname, folderURL);
  await page.locator('.column-entry', { hasText: '%25.txt' }).click();
  await waitForView(page, [SHARE_NAME, FOLDER], FILE);
  const inspector = await readInspector(page);
  const fileURL = folderURL + encodeURIComponent(FILE);
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
});
