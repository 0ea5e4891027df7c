// Password-protected shares as a visitor meets them (and a share that ends by itself): the unlock form, and the unlock cookie vanishing
// under a page already open; with pictures of the unlock and not-found pages and of a narrow window for
// a person to look at. The session checks that no page logs an error or trips the security policy.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { screenshot, sessionForTests, writeTree } from './support/harness.mjs';
import { readColumns, readInspector, waitForView } from './support/view.mjs';

const session = sessionForTests(
  () => ({
    shares: {
      'team-docs': writeTree({ 'handbook.pdf': 102400, 'Policies/travel.pdf': 2048 }),
      vault: writeTree({ 'reports/q1.pdf': 100, 'reports/q2.pdf': 200, 'contracts/lease.pdf': 300 }),
    },
    names: { 'team-docs': 'Team Docs', vault: 'Finance Vault' },
    passwords: { vault: 'correct horse' },
    ends: { 'team-docs': '2031-06-01T09:30:00Z' },
  }),
  // Chromium reports these statuses, which the server sends by design: the unlock page and refused
  // listings, and the missing page.
  { expected: [/status of 401/, /status of 404 .*\/nothing-here\/\)$/] }
);

test('a locked share opened from the sidebar asks for its password, then opens with its folders', async () => {
  const page = await session.open();
  const unlock = async (password) => {
    await page.fill('input[name="password"]', password);
    await Promise.all([page.waitForNavigation(), page.click('button[type="submit"]')]);
  };
  await page.goto(session.server.origin + '/team-docs/');
  await waitForView(page, ['Team Docs'], 'Team Docs');
  // A share with an end says when, in the visitor's time zone; one without says nothing of the kind.
  assert.equal(await page.textContent('.share-end'), 'Available until Jun 1, 2031, 9:30 AM');
  const refused = page.waitForResponse((response) => response.url().endsWith('/vault/'));
  await page.click('.share-row[data-slug="vault"]');
  assert.equal((await refused).status(), 401);
  await screenshot(page, 'unlock.png');

  await unlock('wrong');
  await page.waitForSelector('.error-line');
  await unlock('correct horse');
  await waitForView(page, ['Finance Vault'], 'Finance Vault');
  assert.equal(new URL(page.url()).pathname, '/vault/');
  assert.deepEqual((await readColumns(page))[0].rows, ['contracts', 'reports']);
  assert.equal((await readInspector(page)).values.Access, 'Password protected');
  assert.equal(await page.locator('.share-end').count(), 0);
  assert.equal(await page.locator('.share-row', { hasText: 'Finance Vault' }).locator('.share-row-lock').count(), 1);
  await page.click('.column-entry[data-path="reports"]');
  await waitForView(page, ['Finance Vault', 'reports'], 'reports');
  assert.equal((await page.goto(session.server.origin + '/nothing-here/')).status(), 404);
  await screenshot(page, 'not-found.png');
});

test('in a narrow window the panes stack', async () => {
  const page = await session.open('/team-docs/Policies/travel.pdf');
  await page.setViewportSize({ width: 760, height: 1200 });
  await waitForView(page, ['Team Docs', 'Policies'], 'travel.pdf');
  const columns = await page.$eval('.app-shell', (shell) => getComputedStyle(shell).gridTemplateColumns);
  assert.equal(columns.split(' ').length, 1);
  await screenshot(page, 'narrow.png');
});

test('a refused listing leaves the columns and the inspector as they were', async () => {
  const page = await session.open('/vault/reports/q1.pdf');
  await waitForView(page, ['Finance Vault', 'reports'], 'q1.pdf');
  await page.evaluate(() => (window.pageMarker = 'still here'));
  const before = await page.innerHTML('#app');

  await session.browser.context.clearCookies();
  const refused = page.waitForResponse((response) => response.url().includes('/__browse/') && response.status() === 401);
  await page.click('.column-entry[data-path="contracts"]');
  await refused;
  await page.waitForTimeout(300);
  assert.equal(await page.innerHTML('#app'), before);
  assert.equal(await page.evaluate(() => window.pageMarker), 'still here');
});
