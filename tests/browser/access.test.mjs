// Password-protected shares as a visitor meets them: the unlock form, a wrong and a right password,
// and what happens when the unlock cookie disappears under a page that is already open.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { sessionForTests, writeTree } from './support/harness.mjs';
import { readColumns, readInspector, waitForView } from './support/view.mjs';

const session = sessionForTests(
  () => ({
    shares: {
      vault: writeTree({ 'reports/q1.pdf': 100, 'reports/q2.pdf': 200, 'contracts/lease.pdf': 300 }),
      open: writeTree({ 'hello.txt': 'hi' }),
    },
    names: { vault: 'Finance Vault', open: 'Open Files' },
    passwords: { vault: 'correct horse' },
  }),
  // Refused listings and the unlock page itself answer 401 by design.
  { expected: [/status of 401/] }
);

async function unlock(page, password) {
  await page.fill('input[name="password"]', password);
  await Promise.all([page.waitForNavigation(), page.click('button[type="submit"]')]);
}

test('a locked share opened from the sidebar asks for its password, then opens with its folders', async () => {
  const { server, browser } = session;
  const page = await browser.newPage();
  await page.goto(server.origin + '/open/');
  await waitForView(page, ['Open Files'], 'Open Files');
  const refused = page.waitForResponse((response) => response.url().endsWith('/vault/'));
  await page.click('.share-row[data-slug="vault"]');
  assert.equal((await refused).status(), 401);
  assert.equal(await page.textContent('.password-card h1'), 'Finance Vault');
  assert.equal(await page.locator('.error-line').count(), 0);

  await unlock(page, 'wrong');
  assert.equal(await page.textContent('.error-line'), 'That password did not work. Try again.');
  await unlock(page, 'correct horse');
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
