// What a visitor sees when a share URL opens: one column per level, the open path marked, the
// inspector on the item the URL names, and sizes and dates in the visitor's locale.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { launchBrowser, startServer, temporaryFolder, writeTree } from './support/harness.mjs';
import { plain, readBreadcrumb, readColumns, readInspector, waitForView } from './support/view.mjs';

let server;
let browser;

before(async () => {
  const root = writeTree(temporaryFolder('docs-'), {
    'a/b/c/deep.txt': 'twelve bytes',
    'a/b/c/more.md': 'x',
    'a/b/sibling.txt': 'x',
    'a/readme.txt': 'x',
    'empty/': null,
    'big.bin': 2097152,
    'half.bin': 1536,
    'mega.bin': 1048576,
    'one-k.bin': 1024,
    'tiny.txt': 10,
    '.hidden': 'never listed',
  });
  server = await startServer({ shares: { docs: root }, names: { docs: 'Team Docs' } });
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  await server?.stop();
});

test('a folder URL draws every level in parallel, marks the open path and describes the folder', async () => {
  const page = await browser.newPage();
  // Hold every listing until all four levels have been asked for: a client that waited for one
  // level before asking for the next would stall here and be caught.
  const held = [];
  let allAskedTogether = false;
  await page.route('**/__browse/**', async (route) => {
    held.push(route);
    if (held.length === 4) {
      allAskedTogether = true;
      for (const waiting of held) await waiting.continue();
    } else {
      setTimeout(() => route.continue().catch(() => {}), 3000);
    }
  });
  await page.goto(server.origin + '/docs/a/b/c/');
  await waitForView(page, ['Team Docs', 'a', 'b', 'c'], 'c');

  assert.ok(allAskedTogether, 'the four listings were not requested in parallel');
  const listings = held.map((route) => new URL(route.request().url()).searchParams.get('path'));
  assert.deepEqual(listings.sort(), ['', 'a', 'a/b', 'a/b/c']);
  const columns = await readColumns(page);
  assert.deepEqual(
    columns.map((column) => column.marked),
    [['a'], ['b'], ['c'], []]
  );
  assert.deepEqual(columns[3].rows, ['deep.txt', 'more.md']);
  assert.deepEqual(columns[2].meta, ['Folder', '1 B']);
  assert.deepEqual(await readBreadcrumb(page), ['Team Docs', 'a', 'b', 'c']);
  assert.equal(await page.getAttribute('#download-current-folder', 'href'), '/docs/a/b/c/?download=1');

  const inspector = await readInspector(page);
  assert.equal(inspector.subtitle, 'a/b/c');
  assert.equal(inspector.values.Kind, 'Folder');
  assert.equal(inspector.values.Size, 'Folder');
  assert.equal(inspector.values['Share link'], '/docs/a/b/c/');
  assert.equal(plain(inspector.values.Modified), 'Jun 1, 2024, 9:30 AM');
  assert.deepEqual(Object.keys(inspector.links), ['Download ZIP']);
  assert.deepEqual(inspector.buttons, ['Open folder', 'Copy link']);
  await page.close();
});

test('a file URL opens its folder with the file marked and its metadata in the inspector', async () => {
  const page = await browser.newPage();
  await page.goto(server.origin + '/docs/a/b/c/deep.txt');
  await waitForView(page, ['Team Docs', 'a', 'b', 'c'], 'deep.txt');

  const columns = await readColumns(page);
  assert.deepEqual(columns[3].marked, ['deep.txt']);
  assert.deepEqual(columns[2].marked, ['c']);
  const inspector = await readInspector(page);
  assert.equal(inspector.subtitle, 'a/b/c/deep.txt');
  assert.equal(inspector.values.Kind, 'File');
  assert.equal(inspector.values.Size, '12 B');
  assert.equal(inspector.values['Share link'], '/docs/a/b/c/deep.txt');
  assert.equal(inspector.links.Download, '/docs/a/b/c/deep.txt?download=1');
  await page.close();
});

test('the share root shows the share card, counts the visible items and formats sizes', async () => {
  const page = await browser.newPage();
  await page.goto(server.origin + '/docs');
  await waitForView(page, ['Team Docs'], 'Team Docs');

  assert.equal(await readBreadcrumb(page), null);
  const [root] = await readColumns(page);
  assert.deepEqual(root.rows, ['a', 'empty', 'big.bin', 'half.bin', 'mega.bin', 'one-k.bin', 'tiny.txt']);
  assert.deepEqual(root.meta, ['Folder', 'Folder', '2 MB', '1.5 KB', '1,024 KB', '1,024 B', '10 B']);
  assert.deepEqual(root.marked, []);

  const card = await readInspector(page);
  assert.deepEqual(card.values, { Status: 'Live', Link: '/docs/', 'Visible here': '7', Access: 'Open' });
  assert.equal(card.links['Download ZIP'], '/docs/?download=1');

  // An empty folder says so instead of drawing an empty column.
  await page.click('.column-entry[data-path="empty"]');
  await waitForView(page, ['Team Docs', 'empty'], 'empty');
  assert.match(await page.textContent('#browser-columns .browser-column:last-child'), /Empty folder/);
  await page.close();
});

test('an item without a modification date shows "Now", a size as the unit', async () => {
  const page = await browser.newPage();
  // The server always knows the date of a real file; drop it from its answer to see the fallback.
  await page.route('**/__meta/**', async (route) => {
    const response = await route.fetch();
    const meta = await response.json();
    delete meta.modifiedAt;
    await route.fulfill({ response, json: meta });
  });
  await page.goto(server.origin + '/docs/half.bin');
  await waitForView(page, ['Team Docs'], 'half.bin');
  const inspector = await readInspector(page);
  assert.equal(inspector.values.Modified, 'Now');
  assert.equal(inspector.values.Size, '1.5 KB');
  await page.close();
  assert.deepEqual(browser.problems, []);
});
