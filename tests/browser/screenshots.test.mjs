// Pictures of the main views for a person to look at, taken while checking that none of the pages
// (application, unlock, not found, missing item) logs an error or trips the security policy.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { launchBrowser, screenshot, startServer, temporaryFolder, writeTree } from './support/harness.mjs';
import { waitForView } from './support/view.mjs';

let server;
let browser;

const LONG_NAME = 'Quarterly planning notes with a rather long descriptive file name (final).pdf';

before(async () => {
  const photos = writeTree(temporaryFolder('photos-'), {
    '2024/Summer/Lisbon/IMG_0412.jpg': 2480311,
    '2024/Summer/Lisbon/IMG_0413.jpg': 3120877,
    '2024/Summer/Lisbon/notes.txt': 812,
    ['2024/Summer/Lisbon/' + LONG_NAME]: 45112,
    '2024/Summer/Porto/IMG_0501.jpg': 1988100,
    '2024/Summer/itinerary.pdf': 184211,
    '2024/Winter/': null,
    '2024/budget.xlsx': 20480,
    '2023/': null,
    'Archive/': null,
    'README.md': 1536,
  });
  const docs = writeTree(temporaryFolder('docs-'), { 'handbook.pdf': 102400 });
  server = await startServer({
    shares: { photos, 'team-docs': docs, vault: docs },
    names: { photos: 'Family Photos', 'team-docs': 'Team Docs', vault: 'Finance Vault' },
    passwords: { vault: 'correct horse' },
  });
  browser = await launchBrowser();
  // Chromium reports the status of these three documents, which the server sends by design.
  browser.expectProblem(/status of 401 .*\/vault\/\)$/);
  browser.expectProblem(/status of 404 .*\/(nothing-here\/|photos\/gone\.txt)\)$/);
});

after(async () => {
  await browser?.close();
  await server?.stop();
});

test('welcome view', async () => {
  const page = await browser.newPage();
  await page.goto(server.origin + '/');
  await page.waitForSelector('.welcome-stat');
  assert.equal(await page.textContent('.welcome-stat strong'), '3');
  await screenshot(page, 'welcome.png');
  await page.close();
});

test('a share three levels deep with a file selected, in dark and in light', async () => {
  const page = await browser.newPage();
  const file = '/photos/2024/Summer/Lisbon/' + encodeURIComponent(LONG_NAME);
  await page.goto(server.origin + file + '?theme=dark');
  await waitForView(page, ['Family Photos', '2024', 'Summer', 'Lisbon'], LONG_NAME);
  await screenshot(page, 'share-dark.png');
  await page.goto(server.origin + file + '?theme=light');
  await waitForView(page, ['Family Photos', '2024', 'Summer', 'Lisbon'], LONG_NAME);
  await screenshot(page, 'share-light.png');
  await page.close();
});

test('a narrow window stacks the panes', async () => {
  const page = await browser.newPage();
  await page.setViewportSize({ width: 760, height: 1200 });
  await page.goto(server.origin + '/photos/2024/Summer/itinerary.pdf?theme=dark');
  await waitForView(page, ['Family Photos', '2024', 'Summer'], 'itinerary.pdf');
  const columns = await page.$eval('.app-shell', (shell) => getComputedStyle(shell).gridTemplateColumns);
  assert.equal(columns.split(' ').length, 1);
  await screenshot(page, 'narrow.png');
  await page.close();
});

test('server pages: unlock, not found and missing item', async () => {
  const page = await browser.newPage();
  const unlock = await page.goto(server.origin + '/vault/');
  assert.equal(unlock.status(), 401);
  await page.waitForSelector('.password-card');
  await screenshot(page, 'unlock.png');

  const missing = await page.goto(server.origin + '/nothing-here/');
  assert.equal(missing.status(), 404);
  assert.equal(await page.textContent('h1'), 'Nothing here');
  await screenshot(page, 'not-found.png');

  const moved = await page.goto(server.origin + '/photos/gone.txt');
  assert.equal(moved.status(), 404);
  assert.equal(await page.textContent('h1'), 'That item moved');
  await page.close();
  assert.deepEqual(browser.problems, []);
});
