// Every download link and copy button leads where the visitor expects: the right file or archive,
// and full addresses on the clipboard.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { sessionForTests, writeTree } from './support/harness.mjs';
import { readInspector, waitForView } from './support/view.mjs';

const session = sessionForTests(() => ({
  shares: {
    team: writeTree({ 'Reports 2024/summary report.txt': 'the summary', 'Reports 2024/charts/chart.svg': '<svg/>' }),
  },
  names: { team: 'Team Space' },
}));

async function download(page, locator) {
  const [file] = await Promise.all([page.waitForEvent('download'), locator.click()]);
  return { name: file.suggestedFilename(), bytes: fs.readFileSync(await file.path()) };
}

test('the share, a folder and a file each download as themselves and copy their full address', async () => {
  const { server, browser } = session;
  await browser.context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: server.origin });
  const page = await browser.newPage();
  const copied = async (button) => {
    await page.evaluate(() => navigator.clipboard.writeText(''));
    await page.click(button);
    return page.evaluate(() => navigator.clipboard.readText());
  };
  await page.goto(server.origin + '/team/');
  await waitForView(page, ['Team Space'], 'Team Space');
  assert.equal(await copied('#copy-inspector-url'), server.origin + '/team/');
  assert.equal(await copied('#copy-share-url'), server.origin + '/team/');
  let archive = await download(page, page.locator('#inspector-body a', { hasText: 'Download ZIP' }));
  assert.equal(archive.name, 'Team Space.zip');
  assert.equal(archive.bytes.subarray(0, 2).toString(), 'PK');

  // The toolbar follows the open folder.
  await page.click('.column-entry[data-path="Reports 2024"]');
  await waitForView(page, ['Team Space', 'Reports 2024'], 'Reports 2024');
  assert.equal(await page.getAttribute('#download-current-folder', 'href'), '/team/Reports%202024/?download=1');
  archive = await download(page, page.locator('#download-current-folder'));
  assert.equal(archive.name, 'Reports 2024.zip');
  assert.equal(await copied('#copy-item-link'), server.origin + '/team/Reports%202024/');

  await page.click('.column-entry[data-path="Reports 2024/summary report.txt"]');
  await waitForView(page, ['Team Space', 'Reports 2024'], 'summary report.txt');
  assert.equal((await readInspector(page)).links.Download, '/team/Reports%202024/summary%20report.txt?download=1');
  const file = await download(page, page.locator('#inspector-body a', { hasText: 'Download' }));
  assert.deepEqual([file.name, file.bytes.toString()], ['summary report.txt', 'the summary']);
  assert.equal(await copied('#copy-item-link'), server.origin + '/team/Reports%202024/summary%20report.txt');
  await page.close();
});
