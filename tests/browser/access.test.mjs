// Password-protected shares as a visitor meets them: the unlock form, a wrong and a right password,
// and what happens when the unlock cookie disappears under a page that is already open.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { launchBrowser, startServer, temporaryFolder, writeTree } from './support/harness.mjs';
import { readColumns, readInspector, waitForView } from './support/view.mjs';

let server;
let browser;

before(async () => {
  const vault = writeTree(temporaryFolder('vault-'), {
    'reports/q1.pdf': 100,
    'reports/q2.pdf': 200,
    'contracts/lease.pdf': 300,
  });
  const open = writeTree(temporaryFolder('open-'), { 'hello.txt': 'hi' });
  server = await startServer({
    shares: { vault, open },
    names: { vault: 'Finance Vault', open: 'Open Files' },
    passwords: { vault: 'correct horse' },
  });
  browser = await launchBrowser();
  // Refused listings and the unlock page itself answer 401 by design.
  browser.expectProblem(/status of 401/);
});

after(async () => {
  await browser?.close();
  await server?.stop();
});

async function unlock(page, password) {
  await page.fill('input[name="password"]', password);
  await Promise.all([page.waitForNavigation(), page.click('button[type="submit"]')]);
}

test('a wrong password says so, the right one opens the share and its folders', async () => {
  const page = await browser.newPage();
  const first = await page.goto(server.origin + '/vault/reports/');
  assert.equal(first.status(), 401);
  assert.equal(await page.textContent('.password-card h1'), 'Finance Vault');
  assert.equal(await page.locator('.error-line').count(), 0);

  await unlock(page, 'wrong');
  assert.equal(await page.textContent('.error-line'), 'That password did not work. Try again.');

  await unlock(page, 'correct horse');
  await waitForView(page, ['Finance Vault'], 'Finance Vault');
  assert.equal((await readInspector(page)).values.Access, 'Password protected');
  assert.equal(await page.locator('.share-row', { hasText: 'Finance Vault' }).locator('.share-row-lock').count(), 1);

  await page.click('.column-entry[data-path="reports"]');
  await waitForView(page, ['Finance Vault', 'reports'], 'reports');
  await page.close();
});

test('a refused listing leaves the columns and the inspector as they were', async () => {
  const page = await browser.newPage();
  await page.goto(server.origin + '/vault/reports/q1.pdf');
  await waitForView(page, ['Finance Vault', 'reports'], 'q1.pdf');
  await page.evaluate(() => (window.pageMarker = 'still here'));
  const columnsBefore = await page.innerHTML('#browser-columns');
  const inspectorBefore = await page.innerHTML('#inspector-body');
  const breadcrumbBefore = await page.innerHTML('#breadcrumb');

  await browser.context.clearCookies();
  const refused = page.waitForResponse((response) => response.url().includes('/__browse/') && response.status() === 401);
  await page.click('.column-entry[data-path="contracts"]');
  await refused;
  await page.waitForTimeout(300);

  assert.equal(await page.innerHTML('#browser-columns'), columnsBefore);
  assert.equal(await page.innerHTML('#inspector-body'), inspectorBefore);
  assert.equal(await page.innerHTML('#breadcrumb'), breadcrumbBefore);
  assert.equal(await page.evaluate(() => window.pageMarker), 'still here');
  assert.doesNotMatch(await page.textContent('#app'), /Password required|error/i);
  await page.close();
});

test('opening a locked share from the sidebar brings up its unlock form', async () => {
  await browser.context.clearCookies();
  const page = await browser.newPage();
  await page.goto(server.origin + '/open/');
  await waitForView(page, ['Open Files'], 'Open Files');
  await page.click('.share-row[data-slug="vault"]');
  await page.waitForSelector('.password-card');
  assert.equal(new URL(page.url()).pathname, '/vault/');
  await unlock(page, 'correct horse');
  await waitForView(page, ['Finance Vault'], 'Finance Vault');
  const [root] = await readColumns(page);
  assert.deepEqual(root.rows, ['contracts', 'reports']);
  await page.close();
  assert.deepEqual(browser.problems, []);
});
