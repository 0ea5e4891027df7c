// What a visitor sees while walking a share: one column per level with the open path marked, the
// inspector on the item the URL names, sizes and dates in the visitor's locale, history without page
// loads, downloads and copied links that lead where they should, hostile names shown as typed, and
// the theme they chose.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import { screenshot, sessionForTests, writeTree } from './support/harness.mjs';
import { readBreadcrumb, readColumns, readInspector, waitForView } from './support/view.mjs';

// Names on disk are the visitor's enemy: quotes, angle brackets, ampersands and percent signs.
const SHARE_NAME = 'Q&A <"team"> 100%';
const FOLDER = 'say "hi" <b>&amp; 100%';
const FILE = 'x<i>&"%25.txt';
const TRAP = '<img src=x onerror="document.title=1">';

const session = sessionForTests(() => ({
  shares: {
    docs: writeTree({
      'a/b/c/deep.txt': 'twelve bytes', 'a/b/c/more.md': 'x', 'a/b/sibling.txt': 'x', 'a/readme.txt': 'x',
      'empty/': null, 'big.bin': 2097152, 'half.bin': 1536, 'mega.bin': 1048576, 'one-k.bin': 1024,
      'tiny.txt': 10, '.hidden': 'never listed',
    }),
    team: writeTree({
      'Reports 2024/summary report.txt': 'the summary', 'Reports 2024/charts/chart.svg': '<svg/>',
      'Photos/a.jpg': 'a', 'Photos/b.mp4': 'b', 'Photos/notes.txt': 'n',
    }),
    odd: writeTree({ [FOLDER + '/inner/deeper.txt']: 'deep', [FOLDER + '/' + FILE]: 'percent file', [TRAP]: 'trap' }),
  },
  names: { docs: 'Team Docs', team: 'Team Space', odd: SHARE_NAME },
}));

test('a folder URL draws every level in parallel; a file URL marks the file in its folder', async () => {
  const page = await session.open();
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
  assert.deepEqual(await readBreadcrumb(page), ['Team Docs', 'a', 'b', 'c']);
  let inspector = await readInspector(page);
  assert.deepEqual([inspector.subtitle, inspector.values.Kind, inspector.values.Size], ['a/b/c', 'Folder', 'Folder']);
  assert.equal(inspector.values.Modified.replace(/\s/g, ' '), 'Jun 1, 2024, 9:30 AM');
  assert.deepEqual(Object.keys(inspector.links), ['Download ZIP']);
  assert.deepEqual(inspector.buttons, ['Open folder', 'Copy link']);

  await page.goto(session.server.origin + '/docs/a/b/c/deep.txt');
  await waitForView(page, ['Team Docs', 'a', 'b', 'c'], 'deep.txt');
  columns = await readColumns(page);
  assert.deepEqual([columns[2].marked, columns[3].marked], [['c'], ['deep.txt']]);
  inspector = await readInspector(page);
  assert.deepEqual([inspector.subtitle, inspector.values.Kind, inspector.values.Size], ['a/b/c/deep.txt', 'File', '12 B']);
});

test('the share root counts the visible items and formats sizes; an undated item shows "Now"', async () => {
  const page = await session.open('/docs');
  await waitForView(page, ['Team Docs'], 'Team Docs');
  assert.equal(await readBreadcrumb(page), null);
  const [root] = await readColumns(page);
  assert.deepEqual(root.rows, ['a', 'empty', 'big.bin', 'half.bin', 'mega.bin', 'one-k.bin', 'tiny.txt']);
  assert.deepEqual(root.meta, ['Folder', 'Folder', '2 MB', '1.5 KB', '1,024 KB', '1,024 B', '10 B']);
  assert.deepEqual(root.marked, []);
  const card = await readInspector(page);
  assert.deepEqual(card.values, { Status: 'Live', Link: '/docs/', 'Visible here': '7', Access: 'Open' });

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
});

test('back and forward, and breadcrumb steps, restore folder and selection without a page load', async () => {
  const page = await session.open();
  let documentLoads = 0;
  page.on('load', () => (documentLoads += 1));
  await page.goto(session.server.origin + '/');
  await page.waitForSelector('.welcome-stat');
  assert.equal(await page.textContent('.welcome-stat strong'), '3');
  await screenshot(page, 'welcome.png');
  const loadsAtStart = documentLoads;
  await page.evaluate(() => (window.pageMarker = 'first load'));
  const WELCOME = [null, null, '/', []];
  const SHARE = [['Team Docs'], 'Team Docs', '/docs/', [[]]];
  const FOLDER = [['Team Docs', 'a'], 'a', '/docs/a/', [['a'], []]];
  const FILE = [['Team Docs', 'a'], 'readme.txt', '/docs/a/readme.txt', [['a'], ['readme.txt']]];
  const steps = [
    [() => page.click('.share-row[data-slug="docs"]'), SHARE],
    [() => page.click('.column-entry[data-path="a"]'), FOLDER],
    [() => page.click('.column-entry[data-path="a/readme.txt"]'), FILE],
    [() => page.goBack(), FOLDER],
    [() => page.goBack(), SHARE],
    [() => page.goBack(), WELCOME],
    [() => page.goForward(), SHARE],
    [() => page.goForward().then(() => page.goForward()), FILE],
    // A breadcrumb step is a history entry like any other.
    [() => page.locator('#breadcrumb button').first().click(), SHARE],
    [() => page.goBack(), FILE],
  ];
  for (const [step, [titles, heading, where, marked]] of steps) {
    await step();
    if (titles) await waitForView(page, titles, heading);
    else await page.waitForSelector('.welcome-stat');
    assert.equal(decodeURIComponent(new URL(page.url()).pathname), where);
    assert.deepEqual((await readColumns(page)).map((column) => column.marked), marked);
    const selected = await page.locator('.share-row.is-selected .share-row-title').allTextContents();
    assert.deepEqual(selected, titles ? ['Team Docs'] : []);
  }

  // None of these steps loaded a document again.
  assert.equal(documentLoads, loadsAtStart);
  assert.equal(await page.evaluate(() => window.pageMarker), 'first load');
});

test('the share, a folder and a file each download as themselves and copy their full address', async () => {
  const { server, browser } = session;
  await browser.context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: server.origin });
  const page = await session.open();
  const copied = async (button) => {
    await page.evaluate(() => navigator.clipboard.writeText(''));
    await page.click(button);
    return page.evaluate(() => navigator.clipboard.readText());
  };
  const download = async (locator) => {
    const [file] = await Promise.all([page.waitForEvent('download'), locator.click()]);
    return { name: file.suggestedFilename(), bytes: fs.readFileSync(await file.path()) };
  };
  await page.goto(server.origin + '/team/');
  await waitForView(page, ['Team Space'], 'Team Space');
  assert.equal(await copied('#copy-inspector-url'), server.origin + '/team/');
  assert.equal(await copied('#copy-share-url'), server.origin + '/team/');
  let archive = await download(page.locator('#inspector-body a', { hasText: 'Download ZIP' }));
  assert.equal(archive.name, 'Team Space.zip');
  assert.equal(archive.bytes.subarray(0, 2).toString(), 'PK');

  // The toolbar follows the open folder.
  await page.click('.column-entry[data-path="Reports 2024"]');
  await waitForView(page, ['Team Space', 'Reports 2024'], 'Reports 2024');
  assert.equal(await page.getAttribute('#download-current-folder', 'href'), '/team/Reports%202024/?download=1');
  archive = await download(page.locator('#download-current-folder'));
  assert.equal(archive.name, 'Reports 2024.zip');
  // Text compresses: the deflated archive is offered beside the one with a length.
  await page.click('#download-options > summary');
  const smaller = page.locator('#download-smaller-zip');
  assert.equal(await smaller.getAttribute('href'), '/team/Reports%202024/?download=1&compress=1');
  assert.equal(await smaller.textContent(), "Smaller ZIP (no progress, can't resume)");
  archive = await download(smaller);
  assert.deepEqual([archive.name, archive.bytes.subarray(0, 2).toString()], ['Reports 2024.zip', 'PK']);
  assert.equal(await copied('#copy-item-link'), server.origin + '/team/Reports%202024/');

  await page.click('.column-entry[data-path="Reports 2024/summary report.txt"]');
  await waitForView(page, ['Team Space', 'Reports 2024'], 'summary report.txt');
  assert.equal((await readInspector(page)).links.Download, '/team/Reports%202024/summary%20report.txt?download=1');
  const file = await download(page.locator('#inspector-body a', { hasText: 'Download' }));
  assert.deepEqual([file.name, file.bytes.toString()], ['summary report.txt', 'the summary']);
  assert.equal(await copied('#copy-item-link'), server.origin + '/team/Reports%202024/summary%20report.txt');
  // Photos and videos do not compress: only the archive that shows its progress and resumes.
  await page.goto(server.origin + '/team/Photos/');
  await waitForView(page, ['Team Space', 'Photos'], 'Photos');
  assert.equal(await page.isHidden('#download-options'), true);
});

test("a folder's archive cut on the way is resumed by Chromium's download manager to the same bytes", async () => {
  // A proxy that cuts every answer after its first MiB, as tunnels and mobile networks drop long answers.
  const proxy = net.createServer((client) => {
    const upstream = net.connect(new URL(session.server.origin).port, '127.0.0.1');
    let left = 1 << 20;
    client.pipe(upstream);
    upstream.on('data', (data) => {
      client.write(data.subarray(0, Math.max(0, left)));
      if ((left -= data.length) <= 0) client.destroy();
    });
    for (const side of [client, upstream]) {
      side.on('error', () => {}).on('close', () => (client.destroy(), upstream.destroy()));
    }
  });
  await new Promise((resolve) => proxy.listen(0, '127.0.0.1', resolve));
  const page = await session.open();
  await page.setContent(`<a href="http://127.0.0.1:${proxy.address().port}/docs/?download=1">zip</a>`);
  const [file] = await Promise.all([page.waitForEvent('download'), page.click('a')]);
  const direct = await (await page.request.get(session.server.origin + '/docs/?download=1')).body();
  assert.equal(await file.failure(), null);
  assert.ok(direct.length > 3 << 20 && fs.readFileSync(await file.path()).equals(direct));
  proxy.close();
});

test('hostile names show as typed everywhere and their rows and breadcrumb buttons open them', async () => {
  const folderURL = '/odd/' + encodeURIComponent(FOLDER) + '/';
  const page = await session.open(folderURL + 'inner/deeper.txt');
  await waitForView(page, [SHARE_NAME, FOLDER, 'inner'], 'deeper.txt');
  const [top, folder] = await readColumns(page);
  assert.deepEqual([top.rows, top.marked, folder.rows], [[FOLDER, TRAP], [FOLDER], ['inner', FILE]]);
  assert.deepEqual(await readBreadcrumb(page), [SHARE_NAME, FOLDER, 'inner']);
  assert.equal((await readInspector(page)).subtitle, FOLDER + '/inner/deeper.txt');
  assert.equal(await page.textContent('.share-row[data-slug="odd"] .share-row-title'), SHARE_NAME);
  assert.equal(await page.textContent('.browser-title h1'), SHARE_NAME);
  // Nothing from a name became an element or ran.
  assert.equal(await page.locator('#app img').count(), 1); // the brand icon only
  assert.equal(await page.locator('#app b, #app i').count(), 0);

  await page.locator('#breadcrumb button', { hasText: 'hi' }).click();
  await waitForView(page, [SHARE_NAME, FOLDER], FOLDER);
  assert.equal(new URL(page.url()).pathname, folderURL);
  await page.locator('.column-entry', { hasText: '%25.txt' }).click();
  await waitForView(page, [SHARE_NAME, FOLDER], FILE);
  const inspector = await readInspector(page);
  const fileURL = folderURL + encodeURIComponent(FILE);
  assert.equal(inspector.subtitle, FOLDER + '/' + FILE);
  assert.equal(inspector.values['Share link'], fileURL);
  assert.equal(new URL(page.url()).pathname, fileURL);
  // The server may leave characters such as "&" unencoded in a path; it must name the same file.
  assert.equal(decodeURIComponent(inspector.links.Download), '/odd/' + FOLDER + '/' + FILE + '?download=1');
  const download = await page.request.get(session.server.origin + inspector.links.Download);
  assert.equal(await download.text(), 'percent file');

  // The trap file opens like any other and its name stays text in the inspector.
  await page.locator('#breadcrumb button').first().click();
  await page.locator('.column-entry', { hasText: 'onerror' }).click();
  await waitForView(page, [SHARE_NAME], TRAP);
  assert.equal((await readInspector(page)).heading, TRAP);
  assert.notEqual(await page.title(), '1');
});

// The theme as the page shows it: the button, the stored choice and the colours painted (as #rrggbb).
// "System" follows the browser's preference, with the brighter status colours of the dark variant.
function look(page) {
  return page.evaluate(() => {
    const canvas = document.createElement('canvas').getContext('2d');
    const painted = (token) => {
      const probe = document.body.appendChild(document.createElement('i'));
      probe.style.color = 'var(' + token + ')';
      canvas.fillStyle = getComputedStyle(probe).color;
      probe.remove();
      canvas.fillRect(0, 0, 1, 1);
      return '#' + [...canvas.getImageData(0, 0, 1, 1).data.slice(0, 3)].map((v) => v.toString(16).padStart(2, '0')).join('');
    };
    const button = document.getElementById('theme-toggle');
    return {
      attribute: document.documentElement.getAttribute('data-theme'),
      label: button.textContent,
      icon: button.querySelector('svg').classList.contains('icon-sun') ? 'sun' : 'moon',
      background: painted('--bg'),
      good: painted('--good'),
      stored: localStorage.getItem('quarry-share-theme'),
    };
  });
}
const DARK = { attribute: 'dark', label: 'Dark', icon: 'sun', background: '#18191d', good: '#0e925d', stored: 'dark' };
const LIGHT = { attribute: 'light', label: 'Light', icon: 'moon', background: '#edf0f4', good: '#0e925d', stored: 'light' };
const SYSTEM = { attribute: null, label: 'System', icon: 'moon', background: '#18191d', good: '#26d463', stored: 'system' };

test('the theme button cycles dark, light and system; ?theme= forces one; the choice survives', async () => {
  const page = await session.open('/docs/a/b/c/deep.txt');
  await page.emulateMedia({ colorScheme: 'dark' });
  await waitForView(page, ['Team Docs', 'a', 'b', 'c'], 'deep.txt');
  assert.deepEqual(await look(page), DARK);
  await screenshot(page, 'share-dark.png');
  await page.click('#theme-toggle');
  assert.deepEqual(await look(page), LIGHT);
  await screenshot(page, 'share-light.png');
  await page.click('#theme-toggle');
  assert.deepEqual(await look(page), SYSTEM);
  await page.emulateMedia({ colorScheme: 'light' });
  assert.deepEqual(await look(page), { ...SYSTEM, background: '#edf0f4', good: '#0e925d' });
  await page.reload();
  assert.equal((await look(page)).label, 'System');
  await page.click('#theme-toggle');
  assert.equal((await look(page)).label, 'Dark');

  await page.goto(session.server.origin + '/?theme=light');
  await page.goto(session.server.origin + '/docs/tiny.txt');
  assert.deepEqual(await look(page), LIGHT);
  // An unknown value is taken as "system" rather than leaving the page in an undefined look.
  await page.emulateMedia({ colorScheme: 'dark' });
  await page.goto(session.server.origin + '/?theme=%3Cbogus%3E');
  assert.deepEqual(await look(page), SYSTEM);
});
