// Every download link and copy button leads where the visitor expects: the right file or archive,
// and full addresses on the clipboard.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { launchBrowser, startServer, temporaryFolder, writeTree } from './support/harness.mjs';
import { readInspector, waitForView } from './support/view.mjs';

let server;
let browser;

before(async () => {
  const root = writeTree(temporaryFolder('links-'), {
    'Reports 2024/summary report.txt': 'the summary',
    'Reports 2024/charts/chart.svg': '<svg/>',
    'notes.txt': 'notes',
  });
  server = await startServer({ shares: { team: root }, names: { team: 'Team Space' } });
  browser = await launchBrowser();
  await browser.context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: server.origin });
});

after(async () => {
  await browser?.close();
  await server?.stop();
});

const clipboard = (page) => page.evaluate(() => navigator.clipboard.readText());

async function download(page, locator) {
  const [file] = await Promise.all([page.waitForEvent('download'), locator.click()]);
  return { name: file.suggestedFilename(), bytes: fs.readFileSync(await file.path()) };
}

test('the share card downloads the whole share and copies its address', async () => {
  const page = await browser.newPage();
  await page.goto(server.origin + '/team/');
  await waitForView(page, ['Team Space'], 'Team Space');

  await page.click('#copy-inspector-url');
  assert.equal(await clipboard(page), server.origin + '/team/');
  await page.evaluate(() => navigator.clipboard.writeText(''));
  await page.click('#copy-share-url');
  assert.equal(await clipboard(page), server.origin + '/team/');

  const archive = await download(page, page.locator('#inspector-body a', { hasText: 'Download ZIP' }));
  assert.equal(archive.name, 'Team Space.zip');
  assert.equal(archive.bytes.subarray(0, 2).toString(), 'PK');
  await page.close();
});

test('a folder downloads as an archive and copies its address; the toolbar follows the open folder', async () => {
  const page = await browser.newPage();
  await page.goto(server.origin + '/team/');
  await waitForView(page, ['Team Space'], 'Team Space');
  await page.click('.column-entry[data-path="Reports 2024"]');
  await waitForView(page, ['Team Space', 'Reports 2024'], 'Reports 2024');

  assert.equal(await page.getAttribute('#download-current-folder', 'href'), '/team/Reports%202024/?download=1');
  const archive = await download(page, page.locator('#download-current-folder'));
  assert.equal(archive.name, 'Reports 2024.zip');

  await page.click('#copy-item-link');
  assert.equal(await clipboard(page), server.origin + '/team/Reports%202024/');

  await page.close();
});

test('a file downloads as itself and copies its own address', async () => {
  const page = await browser.newPage();
  await page.goto(server.origin + '/team/Reports%202024/summary%20report.txt');
  await waitForView(page, ['Team Space', 'Reports 2024'], 'summary report.txt');

  const inspector = await readInspector(page);
  assert.equal(inspector.links.Download, '/team/Reports%202024/summary%20report.txt?download=1');
  const file = await download(page, page.locator('#inspector-body a', { hasText: 'Download' }));
  assert.equal(file.name, 'summary report.txt');
  assert.equal(file.bytes.toString(), 'the summary');

  await page.click('#copy-item-link');
  assert.equal(await clipboard(page), server.origin + '/team/Reports%202024/summary%20report.txt');
  await page.close();
  assert.deepEqual(browser.problems, []);
});
