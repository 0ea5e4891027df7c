// Searching a share by name in the browser: "/" reaches the field, typing asks the server (only the
// latest answer counts), the matches replace the columns with their folders beside them, choosing one
// opens its folder with it selected and the keyboard in that column, and Escape brings the columns back
// as they were. (The accessibility audit of the field and of results is the columns' one.)
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { screenshot, sessionForTests, writeTree } from './support/harness.mjs';
import { readColumns, readInspector, waitForView } from './support/view.mjs';

const TRAP = '<img src=x onerror="document.title=1"> report.txt';

const session = sessionForTests(() => ({
  shares: {
    docs: writeTree({
      'Reports 2024/Q3/summary report.txt': 'the summary', 'Reports 2024/Q3/chart.png': 10, 'Reports 2024/notes.txt': 'n',
      'Archive/old report.txt': 'old', 'Archive/2019/': null, 'readme.txt': 'r', '.hidden report.txt': 'never',
      [TRAP]: 'trap', 'Reports 2024/Q4/': null,
    }),
  },
  names: { docs: 'Team Docs' },
}));

function readResults(page) {
  return page.$$eval('#search-results .column-entry', (rows) =>
    rows.map((row) => [row.querySelector('.column-entry-name').textContent, row.querySelector('.column-entry-meta').textContent])
  );
}

function searching(page) {
  return page.$eval('#browser-stage', (stage) => stage.classList.contains('is-searching'));
}

function waitForResults(page, title) {
  return page.waitForFunction(
    (expected) => document.querySelector('#search-results .browser-column-title')?.textContent === expected,
    title,
    { timeout: 15000 }
  );
}

function focusedId(page) {
  return page.evaluate(() => document.activeElement?.id || document.activeElement?.getAttribute('aria-labelledby'));
}

test('typing finds a file two folders down; choosing it opens its folder with it selected', async () => {
  const page = await session.open('/docs/Archive/');
  await waitForView(page, ['Team Docs', 'Archive'], 'Archive');
  const columnsBefore = await readColumns(page);
  await page.focus('.browser-column:last-child .browser-column-list');

  // The first word's answer is held back until the second's has been shown: it must not replace it. The
  // second is first answered as stopped by a newer search (of another page): never shown as no matches.
  const asked = [];
  const numbers = [];
  let releaseFirst;
  const firstHeld = new Promise((resolve) => (releaseFirst = resolve));
  await page.route('**/__search/**', async (route) => {
    const parameters = new URL(route.request().url()).searchParams;
    const query = parameters.get('q');
    asked.push(query);
    numbers.push(Number(parameters.get('n')));
    if (query === 'summ') await firstHeld;
    if (asked.length === 2) {
      const stopped = { shareSlug: 'docs', query, items: [], truncated: true, searchedEntries: 0, stopped: true };
      await route.fulfill({ contentType: 'application/json', body: JSON.stringify(stopped) });
      return;
    }
    await route.continue().catch(() => {});
  });
  await page.keyboard.press('/');
  assert.equal(await focusedId(page), 'search-input');
  await page.keyboard.type('summ');
  await page.waitForFunction(() => document.querySelector('#search-input').value === 'summ');
  await page.waitForTimeout(400);
  await page.keyboard.type(' REP');
  await waitForResults(page, '1 match');
  releaseFirst();
  await page.waitForTimeout(300);
  assert.deepEqual(asked, ['summ', 'summ REP', 'summ REP'], 'one request per pause in the typing, then again');
  assert.ok(numbers[0] > 0 && numbers[0] < numbers[1] && numbers[1] < numbers[2], numbers.join());
  assert.deepEqual(await readResults(page), [['summary report.txt', '/Reports 2024/Q3']]);
  assert.ok(await searching(page));
  assert.equal(await page.$eval('#search-status', (status) => status.textContent), '1 match');
  await page.unroute('**/__search/**');

  // Escape: the columns as they were, the field empty.
  await page.keyboard.press('Escape');
  assert.equal(await searching(page), false);
  assert.equal(await page.inputValue('#search-input'), '');
  assert.deepEqual(await readColumns(page), columnsBefore);
  assert.equal(new URL(page.url()).pathname, '/docs/Archive/');

  // The keyboard: down into the matches (folders first, then by name), Enter on the one wanted.
  await page.keyboard.type('report');
  await waitForResults(page, '4 matches');
  await screenshot(page, 'search-results.png');
  assert.deepEqual(await readResults(page), [
    ['Reports 2024', '/'], [TRAP, '/'], ['old report.txt', '/Archive'], ['summary report.txt', '/Reports 2024/Q3'],
  ]);
  for (let row = 0; row < 4; row += 1) await page.keyboard.press('ArrowDown');
  await page.keyboard.press('Enter');
  await waitForView(page, ['Team Docs', 'Reports 2024', 'Q3'], 'summary report.txt');
  assert.equal(await searching(page), false);
  assert.equal(new URL(page.url()).pathname, '/docs/Reports%202024/Q3/summary%20report.txt');
  const columns = await readColumns(page);
  assert.deepEqual(columns.map((column) => column.marked), [['Reports 2024'], ['Q3'], ['summary report.txt']]);
  assert.equal((await readInspector(page)).subtitle, 'Reports 2024/Q3/summary report.txt');
  assert.equal(await focusedId(page), await page.$eval('.browser-column:last-child .browser-column-title', (t) => t.id));

  // A click on a folder among the matches opens that folder; clearing the field shows the columns.
  await page.keyboard.press('/');
  await page.keyboard.type('q');
  await waitForResults(page, '2 matches');
  await page.fill('#search-input', '');
  await page.waitForFunction(() => !document.querySelector('#browser-stage').classList.contains('is-searching'));
  assert.deepEqual(await readColumns(page), columns);
  await page.keyboard.type('Q4');
  await waitForResults(page, '1 match');
  await page.click('#search-results .column-entry');
  await waitForView(page, ['Team Docs', 'Reports 2024', 'Q4'], 'Q4');
  assert.equal(new URL(page.url()).pathname, '/docs/Reports%202024/Q4/');
  assert.equal(await page.title(), 'Team Docs');

  // The breadcrumb, and a step back in the history, lead back to the columns.
  await page.keyboard.press('/');
  await page.keyboard.type('nothing like this');
  await waitForResults(page, 'No matches');
  await page.locator('#breadcrumb button', { hasText: 'Reports 2024' }).click();
  await waitForView(page, ['Team Docs', 'Reports 2024'], 'Reports 2024');
  assert.equal(await searching(page), false);
  await page.keyboard.press('/');
  await page.keyboard.type('chart');
  await waitForResults(page, '1 match');
  await page.goBack();
  await waitForView(page, ['Team Docs', 'Reports 2024', 'Q4'], 'Q4');
  assert.equal(await searching(page), false);
});
