// Videos in real Chromium: what this browser plays (H.264 in an MP4) plays from the file itself and
// seeks with ranges; what it does not (HEVC in a MOV) plays as the stream the server converts, with a seek bar of
// its own that restarts the stream where the visitor seeks, in the inspector and in the viewer.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import path from 'node:path';
import { accessibilityViolations } from './support/audit.mjs';
import { screenshot, sessionForTests, writeTree } from './support/harness.mjs';
import { writeCameraClip } from './support/media.mjs';

function clips() {
  const root = writeTree({ 'notes.txt': 'x' });
  writeCameraClip(path.join(root, 'iphone.mov'), 12, 'libx265');
  writeCameraClip(path.join(root, 'camera.mp4'), 12, 'libx264');
  return root;
}

const session = sessionForTests(() => ({ shares: { v: clips() }, names: { v: 'Videos' } }), {
  args: ['--autoplay-policy=no-user-gesture-required'],
});

// The requests a page's players make: the query each asked with, its Range header and its status.
function recordVideoRequests(page) {
  const requests = [];
  page.on('request', (request) => {
    if (request.resourceType() !== 'media') return;
    const entry = { search: new URL(request.url()).search, range: request.headers().range, status: null };
    requests.push(entry);
    request.response().then((response) => (entry.status = response?.status() ?? null), () => {});
  });
  return requests;
}

const playedPast = (page, seconds, video = 'video') =>
  page.waitForFunction(([at, selector]) => document.querySelector(selector).currentTime > at, [seconds, video], {
    timeout: 30000,
  });

test('a clip this browser plays comes from the file itself, read and sought in ranges', async () => {
  const page = await session.open();
  const requests = recordVideoRequests(page);
  assert.equal(await page.evaluate(() => document.createElement('video').canPlayType('video/mp4; codecs="avc1.640028"')), 'probably');
  await page.goto(session.server.origin + '/v/camera.mp4');
  const video = await page.waitForSelector('video.preview-media[src$="?view=1"]');
  assert.equal(await video.getAttribute('preload'), 'metadata');
  await video.evaluate((element) => element.play());
  await playedPast(page, 0.5);
  assert.equal(await page.isHidden('.video-note'), true);
  const landed = await video.evaluate(
    (element) =>
      new Promise((resolve) => {
        element.addEventListener('seeked', () => resolve(element.currentTime), { once: true });
        element.currentTime = 9;
      })
  );
  assert.ok(Math.abs(landed - 9) < 0.5, 'currentTime after the seek: ' + landed);
  // Asked for as ranges; whether the browser needs a second one for the index at the end depends on how
  // much of this small clip its first answer already brought.
  await page.waitForFunction(() => document.querySelector('video').readyState >= 2);
  const partial = (request) => request.search === '?view=1' && /^bytes=\d/.test(request.range) && request.status === 206;
  assert.ok(requests.some(partial), JSON.stringify(requests));
  assert.ok(!requests.some((request) => request.search.startsWith('?play=1')), JSON.stringify(requests));
  await screenshot(page, 'preview-video.png');
});

test('an HEVC clip plays converted; a seek restarts the stream there, in the inspector and the viewer', async () => {
  const page = await session.open();
  const requests = recordVideoRequests(page);
  await page.goto(session.server.origin + '/v/iphone.mov?theme=light');
  await page.waitForSelector('.video-player.is-converted');
  assert.equal(await page.textContent('.video-note'), 'Converted for this browser');
  assert.equal(await page.getAttribute('video', 'poster'), '/v/iphone.mov?preview=1');
  assert.deepEqual(requests, [], 'nothing streams before the visitor presses play');
  await page.click('.video-toggle');
  await playedPast(page, 0.5);
  assert.equal(await page.getAttribute('.video-toggle', 'aria-label'), 'Pause');
  // An arrow key on the seek bar moves five seconds; the stream restarts there.
  await page.focus('.video-seek');
  await page.keyboard.press('ArrowRight');
  await page.waitForFunction(() => /[?&]t=/.test(document.querySelector('video').src), null, { timeout: 10000 });
  const restart = new URL(await page.getAttribute('video', 'src'), session.server.origin);
  const from = Number(restart.searchParams.get('t'));
  assert.ok(from >= 5 && from < 7, 'restarted at ' + from);
  await playedPast(page, 0.3);
  const shown = Number(await page.$eval('.video-seek', (bar) => bar.value));
  assert.ok(shown >= from, 'the bar shows ' + shown + ' after a restart at ' + from);
  assert.match(await page.getAttribute('.video-seek', 'aria-valuetext'), /^0:0[5-9] of 0:12$/);
  // (Asked again when the server had not yet let the first stream go: it tries once more.)
  const asked = requests.map((request) => request.search.replace(/t=[\d.]+/, 't=T'));
  assert.deepEqual([...new Set(asked)], ['?play=1', '?play=1&t=T']);
  assert.deepEqual(await accessibilityViolations(page), []);
  await screenshot(page, 'video-converted-desktop-light.png');

  // The viewer on a phone, dark: the same player, the inspector's stream ended before its own starts.
  await page.setViewportSize({ width: 390, height: 844 });
  await page.goto(session.server.origin + '/v/?view=iphone.mov&theme=dark');
  await page.waitForSelector('.viewer .video-player.is-converted');
  const converted = '.viewer .video-player.is-converted';
  await page.click(converted + ' .video-toggle');
  await playedPast(page, 0.5, converted + ' video');
  assert.deepEqual(await accessibilityViolations(page), []);
  await screenshot(page, 'video-converted-phone-dark.png');
});
