// What a visitor sees when a share URL opens: one column per level, the open path marked, the
// inspector on the item the URL names, and sizes and dates in the visitor's locale.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { sessionForTests, writeTree } from './support/harness.mjs';
import { plain, readBreadcrumb, readColumns, readInspector, waitForView } from './support/view.mjs';

const session = sessionForTests(() => ({
  shares: {
    docs: writeTree({
      'a/b/c/deep.txt': 'twelve bytes', 'a/b/c/more.md': 'x', 'a/b/sibling.txt': 'x', 'a/readme.txt': 'x',
      'empty/': null, 'big.bin': 2097152, 'half.bin': 1536, 'mega.bin': 1048576, 'one-k.bin': 1024,
      'tiny.txt': 10, '.hidden': 'never listed',
    }),
  },
  names: { docs: 'Team Docs' },
}));

test('a folder URL draws every level in parallel; a file URL marks the file in its folder', async () => {
  const page = await session.browser.newPage();
  // Hold every listing until all four levels have been asked for: a client that waited for one
  // level before asking for the next is caught (held listings go on after 3 s, so it never hangs).
  const held = [];
  let released = 0;
  let askedTogether = false;
  await page.route('**/__browse/**', async (route) => {
    held.push(route);
    if (held.length < 4) return setTimeout(() => route.continue().then(() => (released += 1), () => {}), 3000);
    askedTogether = released === 0;
    for (const waiting of held) await waiting.continue().catch(() => {});
  });
  await page.goto(session.server.origin + '/docs/a/b/c/');
  await waitForView(page, ['Team Docs', 'a', 'b', 'c'], 'c');
  await page.unroute('**/__browse/**');
  assert.ok(askedTogether, 'the four listings were not requested in parallel');
  const listings = held.map((route) => new URL(route.request().url()).searchParams.get('path'));
  assert.deepEqual(listings.sort(), ['', 'a', 'a/b', 'a/b/c']);
  let columns = await readColumns(page);
  assert.deepEqual(columns.map((column) => column.marked), [['a'], ['b'], ['c'], []]);
  assert.deepEqual(columns[3].rows, ['deep.txt', 'more.md']);
  assert.deepEqual(columns[2].meta, ['Folder', '1 B']);
  assert.deepEqual(await readBreadcrumb(page), ['Team Docs', 'a', 'b', 'c']);
  assert.equal(await page.getAttribute('#download-current-folder', 'href'), '/docs/a/b/c/?download=1');
  let inspector = await readInspector(page);
  assert.deepEqual([inspector.subtitle, inspector.values.Kind, inspector.values.Size], ['a/b/c', 'Folder', 'Folder']);
  assert.equal(inspector.values['Share link'], '/docs/a/b/c/');
  assert.equal(plain(inspector.values.Modified), 'Jun 1, 2024, 9:30 AM');
  assert.deepEqual(Object.keys(inspector.links), ['Download ZIP']);
  assert.deepEqual(inspector.buttons, ['Open folder', 'Copy link']);

  await page.goto(session.server.origin + '/docs/a/b/c/deep.txt');
  await waitForView(page, ['Team Docs', 'a', 'b', 'c'], 'deep.txt');
  columns = await readColumns(page);
  assert.deepEqual([columns[2].marked, columns[3].marked], [['c'], ['deep.txt']]);
  inspector = await readInspector(page);
  assert.deepEqual([inspector.subtitle, inspector.values.Kind, inspector.values.Size], ['a/b/c/deep.txt', 'File', '12 B']);
  assert.equal(inspector.values['Share link'], '/docs/a/b/c/deep.txt');
  assert.equal(inspector.links.Download, '/docs/a/b/c/deep.txt?download=1');
  await page.close();
});

test('the share root counts the visible items and formats sizes; an undated item shows "Now"', async () => {
  const page = await session.browser.newPage();
  await page.goto(session.server.origin + '/docs');
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

  // The server always knows the date of a real file; drop it from its answer to see the fallback.
  await page.route('**/__meta/**', async (route) => {
    const response = await route.fetch();
    const meta = await response.json();
    delete meta.modifiedAt;
    await route.fulfill({ response, json: meta });
  });
  await page.click('.column-entry[data-path="half.bin"]');
  await waitForView(page, ['Team Docs'], 'half.bin');
  const inspector = await readInspector(page);
  assert.deepEqual([inspector.values.Modified, inspector.values.Size], ['Now', '1.5 KB']);
  await page.close();
});
