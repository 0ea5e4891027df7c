// The pages a visitor lands on, photographed for a person to look at (welcome, a share three levels
// deep in dark and light, a narrow window, unlock, not found), and password-protected shares as a
// visitor meets them: the unlock form, and the unlock cookie vanishing under a page already open.
// The session checks that no page logs an error or trips the security policy.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { screenshot, sessionForTests, writeTree } from './support/harness.mjs';
import { readColumns, readInspector, waitForView } from './support/view.mjs';

const LONG_NAME = 'Quarterly planning notes with a rather long descriptive file name (final).pdf';

const session = sessionForTests(
  () => ({
    shares: {
      photos: writeTree({
        '2024/Summer/Lisbon/IMG_0412.jpg': 2480311, '2024/Summer/Lisbon/IMG_0413.jpg': 3120877,
        '2024/Summer/Lisbon/notes.txt': 812, ['2024/Summer/Lisbon/' + LONG_NAME]: 45112,
        '2024/Summer/Porto/IMG_0501.jpg': 1988100, '2024/Summer/itinerary.pdf': 184211,
        '2024/Winter/': null, '2024/budget.xlsx': 20480, '2023/': null, 'Archive/': null, 'README.md': 1536,
      }),
      'team-docs': writeTree({ 'handbook.pdf': 102400 }),
      vault: writeTree({ 'reports/q1.pdf': 100, 'reports/q2.pdf': 200, 'contracts/lease.pdf': 300 }),
    },
    names: { photos: 'Family Photos', 'team-docs': 'Team Docs', vault: 'Finance Vault' },
    passwords: { vault: 'correct horse' },
  }),
  // Chromium reports these statuses, which the server sends by design: the unlock page and refused
  // listings, and the two missing pages.
  { expected: [/status of 401/, /status of 404 .*\/(nothing-here\/|photos\/gone\.txt)\)$/] }
);

test('welcome, a share three levels deep in dark and light, the unlock and missing pages, a narrow window', async () => {
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

  assert.equal((await page.goto(server.origin + '/vault/')).status(), 401);
  await screenshot(page, 'unlock.png');
  assert.equal((await page.goto(server.origin + '/nothing-here/')).status(), 404);
  await screenshot(page, 'not-found.png');
  assert.equal((await page.goto(server.origin + '/photos/gone.txt')).status(), 404);

  await page.setViewportSize({ width: 760, height: 1200 });
  await page.goto(server.origin + '/photos/2024/Summer/itinerary.pdf?theme=dark');
  await waitForView(page, ['Family Photos', '2024', 'Summer'], 'itinerary.pdf');
  const columns = await page.$eval('.app-shell', (shell) => getComputedStyle(shell).gridTemplateColumns);
  assert.equal(columns.split(' ').length, 1, 'the panes stack');
  await screenshot(page, 'narrow.png');
  await page.close();
});

test('a locked share opened from the sidebar asks for its password, then opens with its folders', async () => {
  const page = await session.browser.newPage();
  const unlock = async (password) => {
    await page.fill('input[name="password"]', password);
    await Promise.all([page.waitForNavigation(), page.click('button[type="submit"]')]);
  };
  await page.goto(session.server.origin + '/team-docs/');
  await waitForView(page, ['Team Docs'], 'Team Docs');
  const refused = page.waitForResponse((response) => response.url().endsWith('/vault/'));
  await page.click('.share-row[data-slug="vault"]');
  assert.equal((await refused).status(), 401);

  await unlock('wrong');
  await page.waitForSelector('.error-line');
  await unlock('correct horse');
  await waitForView(page, ['Finance Vault'], 'Finance Vault');
  assert.equal(new URL(page.url()).pathname, '/vault/');
  assert.deepEqual((await readColumns(page))[0].rows, ['contracts', 'reports']);
  assert.equal((await readInspector(page)).values.Access, 'Password protected');
  assert.equal(await page.locator('.share-row', { hasText: 'Finance Vault' }).locator('.share-row-lock').count(), 1);
  await page.click('.column-entry[data-path="reports"]');
  await waitForView(page, ['Finance Vault', 'reports'], 'reports');
  await page.close();
});

test('a refused listing leaves the columns and the inspector as they were', async () => {
  const { server, browser } = session;
  const page = await browser.newPage();
  await page.goto(server.origin + '/vault/reports/q1.pdf');
  await waitForView(page, ['Finance Vault', 'reports'], 'q1.pdf');
  await page.evaluate(() => (window.pageMarker = 'still here'));
  const before = await page.innerHTML('#app');

  await browser.context.clearCookies();
  const refused = page.waitForResponse((response) => response.url().includes('/__browse/') && response.status() === 401);
  await page.click('.column-entry[data-path="contracts"]');
  await refused;
  await page.waitForTimeout(300);
  assert.equal(await page.innerHTML('#app'), before);
  assert.equal(await page.evaluate(() => window.pageMarker), 'still here');
  await page.close();
});
