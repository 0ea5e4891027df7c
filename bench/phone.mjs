// Measures what a visitor with a phone (390 x 844, touch, three device pixels to a CSS pixel) gets from
// a folder of 2,000 photos of 24 megapixels, in Debian's headless Chromium against the real server:
//   - a tap on the folder → the first screenful of thumbnails shown, none of them made before
//     (median of 3, each run a folder of its own),
//   - the longest main-thread task while the grid is flung from top to bottom (from a trace),
//   - a swipe → the next photo shown in the viewer, once the viewer has fetched ahead (median and
//     worst of 10),
//   - the bytes the phone receives to step through 20 photos in the viewer, beside the 20 files' total.
// Targets: first screenful under 1 s, no task over 50 ms, a swipe under 100 ms, at most a tenth of the bytes.
// Usage: node bench/phone.mjs [--serve PATH_TO_brightloom-share]   (BUILD_DIR, default build, holds
// brightloom-share and make_photos). Everything stays on 127.0.0.1 and in a private temporary folder;
// every loop is bounded.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

import { benchFolder, repo, serveBinary, startServe } from './support.mjs';

const playwrightEntry = path.join(repo, 'tests/browser/node_modules/playwright-core/index.mjs');
const makePhotos = path.join(repo, process.env.BUILD_DIR || 'build', 'make_photos');
for (const needed of [playwrightEntry, makePhotos]) {
  if (!fs.existsSync(needed)) {
    console.error('bench: ' + needed + ' is missing; run make build and make deps');
    process.exit(1);
  }
}
const { chromium } = await import(pathToFileURL(playwrightEntry).href);
const serve = serveBinary();

const PHOTOS = 2000;
const KINDS = 8; // different pictures; the rest are links to them, which a thumbnail cache tells apart
const FOLDER_RUNS = 3;
const SWIPES = 10;
const STEPS = 20;
const PHONE = { viewport: { width: 390, height: 844 }, hasTouch: true, isMobile: true, deviceScaleFactor: 3 };

const { work, env } = benchFolder('phone');
const share = path.join(work, 'share');
const photoName = (index) => 'IMG_' + String(index + 1).padStart(4, '0') + '.jpg';
console.log('Preparing ' + KINDS + ' photos of 24 megapixels and ' + FOLDER_RUNS + ' folders of ' + PHOTOS + '...');
for (let kind = 0; kind < KINDS; kind += 1) {
  execFileSync(makePhotos, [path.join(work, 'kind-' + kind + '.jpg'), '6000', '4000', String(kind + 1)], { env });
}
for (let run = 0; run < FOLDER_RUNS; run += 1) {
  const folder = path.join(share, 'photos-' + run);
  fs.mkdirSync(folder, { recursive: true });
  for (let index = 0; index < PHOTOS; index += 1) {
    fs.linkSync(path.join(work, 'kind-' + (index % KINDS) + '.jpg'), path.join(folder, photoName(index)));
  }
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

// Taps the folder's row in the share's list and resolves with the milliseconds until every tile on
// screen shows its thumbnail (the frame after the last one came in).
async function firstScreenful(page, folder) {
  await page.goto(server.origin + '/bench/');
  const row = '.column-entry[data-path="' + folder + '"]';
  await page.waitForSelector(row);
  const timing = page.evaluate(
    () =>
      new Promise((resolve, reject) => {
        let tappedAt = null;
        window.addEventListener('click', (event) => (tappedAt = event.timeStamp), { capture: true, once: true });
        const check = () => {
          const list = document.querySelector('.grid-list');
          const tiles = list ? [...list.querySelectorAll('.grid-tile')] : [];
          const view = list && list.getBoundingClientRect();
          const inSight = tiles.filter((tile) => tile.getBoundingClientRect().top < view.bottom);
          if (tappedAt !== null && inSight.length && inSight.every((tile) => tile.classList.contains('has-thumb'))) {
            clearTimeout(timer);
            requestAnimationFrame(() => setTimeout(() => resolve([performance.now() - tappedAt, inSight.length]), 0));
          } else requestAnimationFrame(check);
        };
        const timer = setTimeout(() => reject(new Error('no screenful within 60 s')), 60000);
        requestAnimationFrame(check);
      })
  );
  await page.tap(row);
  return timing;
}

// Flings the grid from top to bottom, 1,500 px a frame, under a trace of the page's main thread. The
// longest task is given as it lasted and as the main thread's own CPU time in it: on a busy machine
// the first includes the time the thread waited for a core.
async function longestTaskFlinging(page) {
  await browser.startTracing(page, { categories: ['toplevel', 'devtools.timeline'] });
  const frames = await page.evaluate(
    () =>
      new Promise((resolve) => {
        const list = document.querySelector('.grid-list');
        let frames = 0;
        const step = () => {
          list.scrollTop += 1500;
          frames += 1;
          if (list.scrollTop + list.clientHeight >= list.scrollHeight - 1 || frames >= 2000) resolve(frames);
          else requestAnimationFrame(step);
        };
        requestAnimationFrame(step);
      })
  );
  const trace = JSON.parse((await browser.stopTracing()).toString());
  const events = trace.traceEvents || trace;
  const main = new Set(
    events
      .filter((event) => event.ph === 'M' && event.name === 'thread_name' && event.args?.name === 'CrRendererMain')
      .map((event) => event.pid + ':' + event.tid)
  );
  let longest = 0;
  let cpu = 0;
  for (const event of events) {
    if (event.ph !== 'X' || !main.has(event.pid + ':' + event.tid)) continue;
    if (event.name !== 'RunTask' && event.name !== 'ThreadControllerImpl::RunTask') continue;
    longest = Math.max(longest, (event.dur || 0) / 1000);
    cpu = Math.max(cpu, (event.tdur || 0) / 1000);
  }
  return { longest, cpu, frames };
}

const viewerShows = (name) =>
  document.querySelector('.viewer')?.getAttribute('aria-label') === name &&
  document.querySelector('.viewer-slide:not([aria-hidden]) img')?.complete &&
  document.querySelector('.viewer-slide:not([aria-hidden]) img')?.naturalWidth > 0;

const neighboursLoaded = () =>
  [...document.querySelectorAll('.viewer-slide[aria-hidden] img')].every((image) => image.complete && image.naturalWidth);

// A swipe from right to left through the debugging protocol; resolves with the milliseconds from the
// finger's lifting to the first frame that shows the next photo in place of the last.
async function swipeToNext(page, cdp, next) {
  await page.waitForFunction(neighboursLoaded, null, { timeout: 60000 });
  const timing = page.evaluate(
    (name) =>
      new Promise((resolve) => {
        document.addEventListener(
          'touchend',
          (event) => {
            const liftedAt = event.timeStamp;
            const check = () => {
              const image = document.querySelector('.viewer-slide:not([aria-hidden]) img');
              const shown =
                document.querySelector('.viewer')?.getAttribute('aria-label') === name && image?.complete && image.naturalWidth;
              if (shown) requestAnimationFrame(() => resolve(performance.now() - liftedAt));
              else requestAnimationFrame(check);
            };
            check();
          },
          { capture: true, once: true }
        );
      }),
    next
  );
  const touch = (type, x) =>
    cdp.send('Input.dispatchTouchEvent', { type, touchPoints: type === 'touchEnd' ? [] : [{ x, y: 420 }] });
  await touch('touchStart', 340);
  for (const x of [300, 240, 170, 100]) await touch('touchMove', x);
  await touch('touchEnd');
  return timing;
}

// Steps through `STEPS` photos from the first with the arrow key and counts the bytes of every photo
// the viewer asked for meanwhile (the ones fetched ahead included).
async function bytesStepping(page, cdp, folder) {
  const received = new Map();
  const photos = new Set();
  cdp.on('Network.responseReceived', (event) => {
    if (/[?](preview|view)=1$/.test(event.response.url)) photos.add(event.requestId);
  });
  cdp.on('Network.loadingFinished', (event) => received.set(event.requestId, event.encodedDataLength));
  await cdp.send('Network.enable');
  await page.goto(server.origin + '/bench/' + folder + '/?view=' + photoName(0));
  await page.waitForFunction(viewerShows, photoName(0), { timeout: 60000 });
  for (let step = 1; step < STEPS; step += 1) {
    await page.keyboard.press('ArrowRight');
    await page.waitForFunction(viewerShows, photoName(step), { timeout: 60000 });
  }
  await page.waitForTimeout(2000); // what was fetched ahead arrives too
  await cdp.send('Network.disable');
  let bytes = 0;
  for (const id of photos) bytes += received.get(id) || 0;
  let files = 0;
  for (let index = 0; index < STEPS; index += 1) files += fs.statSync(path.join(share, folder, photoName(index))).size;
  return { bytes, files };
}

const mb = (bytes) => (bytes / 1048576).toFixed(1) + ' MB';
const ms = (value) => value.toFixed(0) + ' ms';

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
  const context = await browser.newContext({ ...PHONE, locale: 'en-US' });
  const page = await context.newPage();
  const cdp = await context.newCDPSession(page);

  const screenfuls = [];
  for (let run = 0; run < FOLDER_RUNS; run += 1) screenfuls.push(await firstScreenful(page, 'photos-' + run));
  const fling = await longestTaskFlinging(page);

  await page.goto(server.origin + '/bench/photos-0/?view=' + photoName(100));
  await page.waitForFunction(viewerShows, photoName(100), { timeout: 60000 });
  const swipes = [];
  for (let swipe = 1; swipe <= SWIPES; swipe += 1) swipes.push(await swipeToNext(page, cdp, photoName(100 + swipe)));

  const stepping = await bytesStepping(page, cdp, 'photos-1');

  const first = median(screenfuls.map(([time]) => time));
  console.log('');
  console.log('tap → first screenful of thumbnails (' + screenfuls[0][1] + ' tiles, none made before): ' +
    ms(first) + ' (runs: ' + screenfuls.map(([time]) => ms(time)).join(', ') + ')');
  console.log('longest main-thread task flinging ' + PHOTOS + ' photos: ' + ms(fling.longest) + ', ' + ms(fling.cpu) +
    ' of CPU (' + fling.frames + ' frames)');
  console.log('swipe → next photo shown: ' + ms(median(swipes)) + ' median, ' + ms(Math.max(...swipes)) + ' worst');
  console.log('stepping through ' + STEPS + ' photos: ' + mb(stepping.bytes) + ' received, the files are ' +
    mb(stepping.files) + ' (' + ((100 * stepping.bytes) / stepping.files).toFixed(1) + '%)');
  const verdicts = [
    ['first screenful under 1 s', first < 1000],
    ['no task over 50 ms while flinging', fling.longest < 50],
    ['swipe → next photo under 100 ms', median(swipes) < 100],
    ['stepping costs at most a tenth of the files', stepping.bytes * 10 <= stepping.files],
  ];
  console.log('');
  for (const [label, met] of verdicts) console.log(label + ': ' + (met ? 'yes' : 'NO'));
  if (!verdicts.every(([, met]) => met)) process.exitCode = 1;
} finally {
  await browser?.close();
  server?.stop();
  fs.rmSync(work, { recursive: true, force: true });
}
