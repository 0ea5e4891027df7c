// Clicking through folders and files moves the address without loading a page, and the browser's
// back and forward buttons bring back the folder and selection of each step.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { sessionForTests, writeTree } from './support/harness.mjs';
import { readColumns, waitForView } from './support/view.mjs';

const session = sessionForTests(() => ({
  shares: { team: writeTree({ 'docs/a.txt': 'a', 'docs/b.txt': 'b', 'misc/c.txt': 'c' }) },
  names: { team: 'Team' },
}));

test('back and forward, and breadcrumb steps, restore folder and selection without a page load', async () => {
  const page = await session.browser.newPage();
  let documentLoads = 0;
  page.on('load', () => (documentLoads += 1));
  await page.goto(session.server.origin + '/');
  await page.waitForSelector('.welcome-stat');
  const loadsAtStart = documentLoads;
  await page.evaluate(() => (window.pageMarker = 'first load'));
  const path = () => decodeURIComponent(new URL(page.url()).pathname);
  const shows = async ([titles, heading, where, marked]) => {
    await waitForView(page, titles, heading);
    assert.equal(path(), where);
    assert.deepEqual((await readColumns(page)).map((column) => column.marked), marked);
  };
  const TEAM = [['Team'], 'Team', '/team/', [[]]];
  const DOCS = [['Team', 'docs'], 'docs', '/team/docs/', [['docs'], []]];
  const FILE = [['Team', 'docs'], 'a.txt', '/team/docs/a.txt', [['docs'], ['a.txt']]];

  await page.click('.share-row[data-slug="team"]');
  await shows(TEAM);
  await page.click('.column-entry[data-path="docs"]');
  await shows(DOCS);
  await page.click('.column-entry[data-path="docs/a.txt"]');
  await shows(FILE);
  await page.goBack();
  await shows(DOCS);
  await page.goBack();
  await shows(TEAM);
  await page.goBack();
  await page.waitForSelector('.welcome-stat');
  assert.equal(path(), '/');
  assert.equal(await page.locator('.share-row.is-selected').count(), 0);
  await page.goForward();
  await shows(TEAM);
  assert.equal(await page.textContent('.share-row.is-selected .share-row-title'), 'Team');
  await page.goForward();
  await page.goForward();
  await shows(FILE);
  // A breadcrumb step is a history entry like any other.
  await page.locator('#breadcrumb button').first().click();
  await shows(TEAM);
  await page.goBack();
  await shows(FILE);

  // None of these steps loaded a document again.
  assert.equal(documentLoads, loadsAtStart);
  assert.equal(await page.evaluate(() => window.pageMarker), 'first load');
  await page.close();
});
