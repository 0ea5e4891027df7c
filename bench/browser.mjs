// Measures the visitor's column browser in Debian's headless Chromium against the real server, for
// folders of 2,000 and 10,000 files:
//   - click on a folder row → its column shown (server answer included; median of 5),
//   - click on a row → its selection shown (median and worst of 7),
//   - the longest main-thread task while the big column scrolls from top to bottom (from a trace),
//   - the elements in the page with the big column open, and the server's answer to the listing.
// Targets: column under 300 ms and selection under 50 ms at 10,000 entries, no task over 50 ms.
// Usage: node bench/browser.mjs [--serve PATH_TO_brightloom-share]   (default: $BUILD_DIR/brightloom-share)
// Everything stays on 127.0.0.1 and in a private temporary folder; every loop is bounded.
import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

import { benchFolder, repo, serveBinary, startServe } from './support.mjs';

const playwrightEntry = path.join(repo, 'tests/browser/node_modules/playwright-core/index.mjs');
if (!fs.existsSync(playwrightEntry)) {
  console.error('bench: playwright-core is missing in tests/browser/node_modules; run make deps');
  process.exit(1);
}
const { chromium } = await import(pathToFileURL(playwrightEntry).href);

const serve = serveBinary();

const SIZES = [2000, 10000];
const COLUMN_RUNS = 5;
const SELECTION_RUNS = 7;

const { work, env } = benchFolder('browser');

// A camera folder per size, plus a small folder to step away to between runs.
const share = path.join(work, 'share');
fs.mkdirSync(path.join(share, 'notes'), { recursive: true });
fs.writeFileSync(path.join(share, 'notes', 'todo.txt'), 'x');
for (const size of SIZES) {
  const folder = path.join(share, 'photos-' + size);
  fs.mkdirSync(folder);
  for (let index = 1; index <= size; index += 1) {
    const file = path.join(folder, 'IMG_' + String(index).padStart(5, '0') + '.jpg');
    fs.writeFileSync(file, '');
    fs.truncateSync(file, 1500000 + index * 37);
  }
}

// Clicks `selector` and resolves with the milliseconds from the click event to the first frame
// painted after `ready` (a function source run in the page) became true.
async function timeClick(page, selector, ready, argument) {
  const timing = page.evaluate(
    ([readySource, value]) =>
      new Promise((resolve, reject) => {
        const isReady = new Function('value', 'return (' + readySource + ')(value);');
        let clickedAt = null;
        window.addEventListener('click', (event) => (clickedAt = event.timeStamp), { capture: true, once: true });
        const check = () => {
          if (clickedAt === null || !isReady(value)) return;
          observer.disconnect();
          clearTimeout(timer);
          // The frame after the change has been laid out and painted once this runs.
          requestAnimationFrame(() => setTimeout(() => resolve(performance.now() - clickedAt), 0));
        };
        const observer = new MutationObserver(check);
        observer.observe(document.body, { childList: true, subtree: true, attributes: true, characterData: true });
        const timer = setTimeout(() => reject(new Error('nothing changed within 30 s')), 30000);
      }),
    [ready.toString(), argument]
  );
  await page.click(selector);
  return timing;
}

const columnShown = (title) =>
  [...document.querySelectorAll('#browser-columns .browser-column')].some(
    (column) =>
      column.querySelector('.browser-column-title')?.textContent === title && column.querySelector('.column-entry')
  );
const rowSelected = (relativePath) =>
  [...document.querySelectorAll('#browser-columns .column-entry.is-selected')].some(
    (row) => row.getAttribute('data-path') === relativePath
  );

async function measure(page, size) {
  const folder = 'photos-' + size;
  await page.goto(server.origin + '/bench/');
  await page.waitForSelector('.column-entry[data-path="notes"]');

  const columnTimes = [];
  for (let run = 0; run < COLUMN_RUNS; run += 1) {
    await page.click('.column-entry[data-path="notes"]');
    await page.waitForFunction(columnShown, 'notes', { timeout: 60000 });
    columnTimes.push(await timeClick(page, '.column-entry[data-path="' + folder + '"]', columnShown, folder));
  }
  const elements = await page.evaluate(() => document.getElementsByTagName('*').length);
  const answers = await page.evaluate((wanted) => {
    return performance
      .getEntriesByType('resource')
      .filter((entry) => new URL(entry.name).searchParams.get('path') === wanted && entry.name.includes('/__browse/'))
      .map((entry) => entry.responseEnd - entry.requestStart);
  }, folder);

  const selectionTimes = [];
  for (let run = 0; run < SELECTION_RUNS; run += 1) {
    const file = folder + '/IMG_' + String(2 + run).padStart(5, '0') + '.jpg';
    selectionTimes.push(await timeClick(page, '.column-entry[data-path="' + file + '"]', rowSelected, file));
    await page.waitForFunction((name) => document.querySelector('#inspector-body h3')?.textContent === name,
      path.basename(file), { timeout: 60000 });
  }

  const longest = await longestTaskWhileScrolling(page);
  return { size, column: median(columnTimes), answer: median(answers), selection: median(selectionTimes),
    selectionWorst: Math.max(...selectionTimes), longest, elements };
}

// Scrolls the rightmost column from top to bottom, 1,200 px a frame (a fast fling), under a trace of
// the page's main thread, and gives the longest task the trace holds.
async function longestTaskWhileScrolling(page) {
  const categories = ['toplevel', 'devtools.timeline', 'disabled-by-default-devtools.timeline'];
  await browser.startTracing(page, { categories });
  const frames = await page.evaluate(
    () =>
      new Promise((resolve) => {
        const list = [...document.querySelectorAll('#browser-columns .browser-column-list')].pop();
        list.scrollTop = 0;
        let frames = 0;
        const step = () => {
          list.scrollTop += 1200;
          frames += 1;
          if (list.scrollTop + list.clientHeight >= list.scrollHeight - 1 || frames >= 2000) resolve(frames);
          else requestAnimationFrame(step);
        };
        requestAnimationFrame(step);
      })
  );
  const trace = JSON.parse((await browser.stopTracing()).toString());
  const events = trace.traceEvents || trace;
  const mainThreads = new Set(
    events
      .filter((event) => event.ph === 'M' && event.name === 'thread_name' && event.args?.name === 'CrRendererMain')
      .map((event) => event.pid + ':' + event.tid)
  );
  let longest = 0;
  for (const event of events) {
    if (event.ph !== 'X' || !mainThreads.has(event.pid + ':' + event.tid)) continue;
    if (event.name !== 'RunTask' && event.name !== 'ThreadControllerImpl::RunTask') continue;
    longest = Math.max(longest, (event.dur || 0) / 1000);
  }
  return { longest, frames };
}

function median(values) {
  if (!values.length) return NaN;
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

function printTable(results) {
  const ms = (value) => (Number.isFinite(value) ? value.toFixed(0) + ' ms' : 'n/a');
  const rows = [['entries', 'click → column', '(listing answer)', 'click → selection', '(worst)',
    'longest task scrolling', 'DOM elements']];
  for (const result of results) {
    rows.push([String(result.size), ms(result.column), ms(result.answer), ms(result.selection),
      ms(result.selectionWorst), ms(result.longest.longest) + ' (' + result.longest.frames + ' frames)',
      String(result.elements)]);
  }
  const widths = rows[0].map((_, column) => Math.max(...rows.map((row) => row[column].length)));
  console.log('');
  for (const row of rows) console.log(row.map((cell, column) => cell.padStart(widths[column])).join('  '));
  const big = results.find((result) => result.size === 10000);
  const verdicts = [
    ['click → column under 300 ms at 10,000 entries', big.column < 300],
    ['click → selection under 50 ms at every size', results.every((result) => result.selection < 50)],
    ['longest task while scrolling under 50 ms', results.every((result) => result.longest.longest < 50)],
  ];
  console.log('');
  for (const [label, met] of verdicts) console.log(label + ': ' + (met ? 'yes' : 'NO'));
  if (!verdicts.every(([, met]) => met)) process.exitCode = 1;
}

let server;
let browser;
try {
  server = await startServe(serve, share, env);
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    env,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  const page = await browser.newPage({ viewport: { width: 1440, height: 900 }, locale: 'en-US' });
  const results = [];
  for (const size of SIZES) results.push(await measure(page, size));
  printTable(results);
} finally {
  await browser?.close();
  server?.stop();
  fs.rmSync(work, { recursive: true, force: true });
}
