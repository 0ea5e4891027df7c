// Pictures of the main views for a person to look at, taken while checking that none of the pages
// (application, unlock, not found, missing item) logs an error or trips the security policy.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { screenshot, sessionForTests, writeTree } from './support/harness.mjs';
import { waitForView } from './support/view.mjs';

const LONG_NAME = 'Quarterly planning notes with a rather long descriptive file name (final).pdf';

const session = sessionForTests(
  () => {
    const docs = writeTree({ 'handbook.pdf': 102400 });
    const photos = writeTree({
      '2024/Summer/Lisbon/IMG_0412.jpg': 2480311, '2024/Summer/Lisbon/IMG_0413.jpg': 3120877,
      '2024/Summer/Lisbon/notes.txt': 812, ['2024/Summer/Lisbon/' + LONG_NAME]: 45112,
      '2024/Summer/Porto/IMG_0501.jpg': 1988100, '2024/Summer/itinerary.pdf': 184211,
      '2024/Winter/': null, '2024/budget.xlsx': 20480, '2023/': null, 'Archive/': null, 'README.md': 1536,
    });
    return {
      shares: { photos, 'team-docs': docs, vault: docs },
      names: { photos: 'Family Photos', 'team-docs': 'Team Docs', vault: 'Finance Vault' },
      passwords: { vault: 'correct horse' },
    };
  },
  // Chromium reports the status of these three documents, which the server sends by design.
  { expected: [/status of 401 .*\/vault\/\)$/, /status of 404 .*\/(nothing-here\/|photos\/gone\.txt)\)$/] }
);

test('welcome, a share three levels deep in dark and light, and a narrow window', async () => {
  const { server, browser } = session;
  const page = await browser.newPage();
  await page.goto(server.origin + '/');
  await page.waitForSelector('.welcome-stat');
  assert.equal(await page.textContent('.welcome-stat strong'), '3');
  await screenshot(page, 'welcome.png');

  const file = '/photos/2024/Summer/Lisbon/' + encodeURIComponent(LONG_NAME);
  for (const theme of ['dark', 'light']) {
    await page.goto(server.origin + file + '?theme=' + theme);
    await waitForView(page, ['Family Photos', '2024', 'Summer', 'Lisbon'], LONG_NAME);
    await screenshot(page, 'share-' + theme + '.png');
  }

  await page.setViewportSize({ width: 760, height: 1200 });
  await page.goto(server.origin + '/photos/2024/Summer/itinerary.pdf?theme=dark');
  await waitForView(page, ['Family Photos', '2024', 'Summer'], 'itinerary.pdf');
  const columns = await page.$eval('.app-shell', (shell) => getComputedStyle(shell).gridTemplateColumns);
  assert.equal(columns.split(' ').length, 1, 'the panes stack');
  await screenshot(page, 'narrow.png');
  await page.close();
});

test('server pages: unlock, not found and missing item', async () => {
  const { server, browser } = session;
  const page = await browser.newPage();
  assert.equal((await page.goto(server.origin + '/vault/')).status(), 401);
  await page.waitForSelector('.password-card');
  await screenshot(page, 'unlock.png');
  assert.equal((await page.goto(server.origin + '/nothing-here/')).status(), 404);
  assert.equal(await page.textContent('h1'), 'Nothing here');
  await screenshot(page, 'not-found.png');
  assert.equal((await page.goto(server.origin + '/photos/gone.txt')).status(), 404);
  assert.equal(await page.textContent('h1'), 'That item moved');
  await page.close();
});
