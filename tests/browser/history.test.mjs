// Clicking through folders and files moves the address without loading a page, and the browser's
// back and forward buttons bring back the folder and selection of each step.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { launchBrowser, startServer, temporaryFolder, writeTree } from './support/harness.mjs';
import { readColumns, waitForView } from './support/view.mjs';

let server;
let browser;

before(async () => {
  const root = writeTree(temporaryFolder('history-'), {
    'docs/a.txt': 'a',
    'docs/b.txt': 'b',
    'misc/c.txt': 'c',
  });
  server = await startServer({ shares: { team: root }, names: { team: 'Team' } });
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  await server?.stop();
});

const path = (page) => decodeURIComponent(new URL(page.url()).pathname);
const marked = async (page) => (await readColumns(page)).map((column) => column.marked);

test('back and forward restore folder and selection without a page load', async () => {
  const page = await browser.newPage();
  let documentLoads = 0;
  page.on('load', () => (documentLoads += 1));
  await page.goto(server.origin + '/');
  await page.waitForSelector('.welcome-stat');
  const loadsAtStart = documentLoads;
  await page.evaluate(() => (window.pageMarker = 'first load'));

  await page.click('.share-row[data-slug="team"]');
  await waitForView(page, ['Team'], 'Team');
  assert.equal(path(page), '/team/');
  await page.click('.column-entry[data-path="docs"]');
  await waitForView(page, ['Team', 'docs'], 'docs');
  assert.equal(path(page), '/team/docs/');
  await page.click('.column-entry[data-path="docs/a.txt"]');
  await waitForView(page, ['Team', 'docs'], 'a.txt');
  assert.equal(path(page), '/team/docs/a.txt');
  assert.deepEqual(await marked(page), [['docs'], ['a.txt']]);

  await page.goBack();
  await waitForView(page, ['Team', 'docs'], 'docs');
  assert.deepEqual(await marked(page), [['docs'], []]);
  await page.goBack();
  await waitForView(page, ['Team'], 'Team');
  assert.deepEqual(await marked(page), [[]]);
  await page.goBack();
  await page.waitForSelector('.welcome-stat');
  assert.equal(path(page), '/');
  assert.equal(await page.locator('.share-row.is-selected').count(), 0);

  await page.goForward();
  await waitForView(page, ['Team'], 'Team');
  assert.equal(await page.textContent('.share-row.is-selected .share-row-title'), 'Team');
  await page.goForward();
  await page.goForward();
  await waitForView(page, ['Team', 'docs'], 'a.txt');
  assert.deepEqual(await marked(page), [['docs'], ['a.txt']]);

  // None of these steps loaded a document again.
  assert.equal(documentLoads, loadsAtStart);
  assert.equal(await page.evaluate(() => window.pageMarker), 'first load');
  await page.close();
});

test('a breadcrumb step is a history entry like any other', async () => {
  const page = await browser.newPage();
  await page.goto(server.origin + '/team/misc/c.txt');
  await waitForView(page, ['Team', 'misc'], 'c.txt');
  await page.locator('#breadcrumb button').first().click();
  await waitForView(page, ['Team'], 'Team');
  assert.equal(path(page), '/team/');
  await page.goBack();
  await waitForView(page, ['Team', 'misc'], 'c.txt');
  assert.equal(path(page), '/team/misc/c.txt');
  await page.close();
  assert.deepEqual(browser.problems, []);
});
