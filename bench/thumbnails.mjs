// Measures thumbnails against nginx resizing the same pictures with its image filter, both serving one
// folder on loopback, one after the other:
//   - time to the thumbnail of a 24-megapixel JPEG: the first time (median of 5 copies, each a picture
//     the server has never seen) and once made (median of 30; nginx: a stored thumbnail-sized JPEG),
//   - another visitor's folder listing (200 entries), p50 and p99, alone and while eight clients ask for
//     2,000 thumbnails of 2,000 different photos at once.
// Targets: first thumbnail under 150 ms, a made one under 5 ms, listing p99 under load under 100 ms.
// Usage: node bench/thumbnails.mjs   (BUILD_DIR, default build, holds brightloom-share and make_photos)
// Everything stays on 127.0.0.1 and in a private temporary folder; every loop is bounded.
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';

import { benchFolder, freePort, repo, startServe } from './support.mjs';

const build = path.join(repo, process.env.BUILD_DIR || 'build');
const serve = path.join(build, 'brightloom-share');
const makePhotos = path.join(build, 'make_photos');
const filterModule = '/usr/lib/nginx/modules/ngx_http_image_filter_module.so';
for (const needed of [serve, makePhotos, filterModule]) {
  if (!fs.existsSync(needed)) {
    console.error('bench: ' + needed + ' is missing; run make build and make bench');
    process.exit(1);
  }
}

const BIG_COPIES = 5;
const CACHED_RUNS = 30;
const BURST = 2000;
const CLIENTS = 8;
const LISTING_PAUSE_MS = 20;
const LOAD_LIMIT_MS = 180000;
const REQUEST_TIMEOUT_MS = 180000;

const { work, env } = benchFolder('thumbnail');
const share = path.join(work, 'share');
for (const folder of [path.join(share, 'big'), path.join(share, 'burst'), path.join(share, 'listing')]) {
  fs.mkdirSync(folder, { recursive: true });
}
const children = [];
function cleanUp() {
  for (const child of children) if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
  fs.rmSync(work, { recursive: true, force: true });
}
process.on('exit', cleanUp);
process.on('SIGINT', () => process.exit(130));

console.log('Preparing the pictures (a 24-megapixel photo, 2,000 photos of 1.2 megapixels)...');
execFileSync(makePhotos, [path.join(share, 'big', 'big-1.jpg'), '6000', '4000', '24'], { env });
// Copies are new pictures to a thumbnail cache: their paths differ.
for (let copy = 2; copy <= BIG_COPIES; copy += 1) {
  fs.copyFileSync(path.join(share, 'big', 'big-1.jpg'), path.join(share, 'big', 'big-' + copy + '.jpg'));
}
const kinds = 8;
for (let kind = 1; kind <= kinds; kind += 1) {
  execFileSync(makePhotos, [path.join(work, 'kind-' + kind + '.jpg'), '1280', '960', String(kind)], { env });
}
const burstName = (index) => 'IMG_' + String(index + 1).padStart(4, '0') + '.jpg';
for (let index = 0; index < BURST; index += 1) {
  fs.copyFileSync(path.join(work, 'kind-' + ((index % kinds) + 1) + '.jpg'), path.join(share, 'burst', burstName(index)));
}
for (let index = 1; index <= 200; index += 1) fs.writeFileSync(path.join(share, 'listing', 'file-' + index + '.txt'), 'file ' + index + '\n');

async function startNginx() {
  const port = await freePort();
  const prefix = path.join(work, 'nginx');
  fs.mkdirSync(prefix, { recursive: true });
  const conf = [
    'load_module ' + filterModule + ';',
    process.getuid() === 0 ? 'user root root;' : '',
    'worker_processes auto;',
    'daemon off;',
    'pid ' + prefix + '/nginx.pid;',
    'error_log ' + prefix + '/error.log;',
    'events { worker_connections 4096; }',
    'http {',
    '  access_log off; sendfile on; keepalive_timeout 0; default_type application/octet-stream;',
    '  types { image/jpeg jpg; }',
    ...['client_body', 'proxy', 'fastcgi', 'uwsgi', 'scgi'].map((kind) => '  ' + kind + '_temp_path ' + prefix + '/' + kind + ';'),
    '  server {',
    '    listen 127.0.0.1:' + port + '; root ' + share + '; autoindex on;',
    '    location /thumb/ { alias ' + share + '/; image_filter resize 320 320; image_filter_buffer 64M;',
    '      image_filter_jpeg_quality 80; }',
    '  }',
    '}',
  ].join('\n');
  fs.writeFileSync(path.join(prefix, 'nginx.conf'), conf);
  const child = spawn('nginx', ['-e', prefix + '/error.log', '-p', prefix, '-c', prefix + '/nginx.conf'], { stdio: 'inherit' });
  children.push(child);
  const origin = 'http://127.0.0.1:' + port;
  for (let attempt = 0; attempt < 100; attempt += 1) {
    if ((await timedGet(origin + '/listing/').catch(() => ({ status: 0 }))).status === 200) return { child, origin };
    await sleep(100);
  }
  throw new Error('nginx did not start');
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// One GET on a connection of its own: status, bytes and milliseconds to the last byte.
function timedGet(url, agent = false) {
  return new Promise((resolve, reject) => {
    const started = process.hrtime.bigint();
    const request = http.get(url, { agent }, (response) => {
      let bytes = 0;
      response.on('data', (chunk) => (bytes += chunk.length));
      response.on('end', () =>
        resolve({ status: response.statusCode, bytes, ms: Number(process.hrtime.bigint() - started) / 1e6 })
      );
      response.on('error', reject);
    });
    request.setTimeout(REQUEST_TIMEOUT_MS, () => request.destroy(new Error('timed out')));
    request.on('error', reject);
  });
}

function percentile(values, fraction) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted.length ? sorted[Math.min(sorted.length - 1, Math.ceil(fraction * sorted.length) - 1)] : NaN;
}

async function medianOf(urls) {
  const times = [];
  for (const url of urls) {
    const reply = await timedGet(url);
    if (reply.status !== 200) throw new Error(url + ' answered ' + reply.status);
    times.push(reply.ms);
  }
  return percentile(times, 0.5);
}

async function listingAlone(url) {
  const times = [];
  for (let run = 0; run < 100; run += 1) times.push((await timedGet(url)).ms);
  return times;
}

// Eight clients each ask for their share of the burst at once; meanwhile another visitor lists a folder
// again and again until the burst is over.
async function listingUnderLoad(thumbnailURL, listingURL) {
  const started = Date.now();
  let finished = false;
  let failed = 0;
  const clients = [];
  for (let client = 0; client < CLIENTS; client += 1) {
    const agent = new http.Agent({ keepAlive: false, maxSockets: Infinity });
    const asks = [];
    for (let index = client; index < BURST; index += CLIENTS) {
      asks.push(timedGet(thumbnailURL(burstName(index)), agent).then((reply) => reply.status === 200 || (failed += 1), () => (failed += 1)));
    }
    clients.push(Promise.all(asks));
  }
  const burst = Promise.all(clients).then(() => (finished = true));
  const times = [];
  await sleep(200);
  while (!finished && Date.now() - started < LOAD_LIMIT_MS) {
    times.push((await timedGet(listingURL)).ms);
    await sleep(LISTING_PAUSE_MS);
  }
  await burst;
  return { times, seconds: (Date.now() - started) / 1000, failed };
}

const format = (ms) => (Number.isFinite(ms) ? ms.toFixed(1) + ' ms' : 'n/a');
const results = {};
try {
  console.log('Measuring brightloom-share serve...');
  const ours = await startServe(serve, share, env);
  children.push(ours.child);
  const bigURLs = (prefix, form) =>
    Array.from({ length: BIG_COPIES }, (_, index) => prefix + '/big/big-' + (index + 1) + '.jpg' + form);
  results.oursFirst = await medianOf(bigURLs(ours.origin + '/bench', '?thumb=1'));
  results.oursCached = await medianOf(Array(CACHED_RUNS).fill(ours.origin + '/bench/big/big-1.jpg?thumb=1'));
  const ourListing = ours.origin + '/__browse/bench?path=listing';
  results.oursAlone = await listingAlone(ourListing);
  results.oursLoad = await listingUnderLoad((name) => ours.origin + '/bench/burst/' + name + '?thumb=1', ourListing);
  const thumbnail = await new Promise((resolve) =>
    http.get(ours.origin + '/bench/big/big-1.jpg?thumb=1', (response) => {
      const chunks = [];
      response.on('data', (chunk) => chunks.push(chunk));
      response.on('end', () => resolve(Buffer.concat(chunks)));
    })
  );
  fs.writeFileSync(path.join(share, 'stored-thumbnail.jpg'), thumbnail);
  ours.child.kill('SIGTERM');

  console.log('Measuring nginx...');
  const nginx = await startNginx();
  results.nginxFirst = await medianOf(bigURLs(nginx.origin + '/thumb', ''));
  results.nginxCached = await medianOf(Array(CACHED_RUNS).fill(nginx.origin + '/stored-thumbnail.jpg'));
  results.nginxAlone = await listingAlone(nginx.origin + '/listing/');
  results.nginxLoad = await listingUnderLoad((name) => nginx.origin + '/thumb/burst/' + name, nginx.origin + '/listing/');
  nginx.child.kill('SIGQUIT');
} catch (error) {
  console.error('bench: ' + error.message);
  process.exit(1);
}

const row = (label, ours, theirs, ratio = true) =>
  console.log(
    label.padEnd(46) + ours.padStart(14) + theirs.padStart(14) +
      (ratio ? (parseFloat(ours) / parseFloat(theirs)).toFixed(2).padStart(8) : '')
  );
console.log();
console.log('measure'.padEnd(46) + 'ours'.padStart(14) + 'nginx'.padStart(14) + 'ratio'.padStart(8));
row('24-megapixel JPEG, first thumbnail (median)', format(results.oursFirst), format(results.nginxFirst));
row('24-megapixel JPEG, made thumbnail (median)', format(results.oursCached), format(results.nginxCached));
row('listing alone, p50', format(percentile(results.oursAlone, 0.5)), format(percentile(results.nginxAlone, 0.5)));
row('listing alone, p99', format(percentile(results.oursAlone, 0.99)), format(percentile(results.nginxAlone, 0.99)));
row('listing during 2,000 thumbnails, p50', format(percentile(results.oursLoad.times, 0.5)),
  format(percentile(results.nginxLoad.times, 0.5)));
row('listing during 2,000 thumbnails, p99', format(percentile(results.oursLoad.times, 0.99)),
  format(percentile(results.nginxLoad.times, 0.99)));
row('listings measured during the burst', String(results.oursLoad.times.length), String(results.nginxLoad.times.length), false);
row('2,000 thumbnails by 8 clients, seconds', results.oursLoad.seconds.toFixed(1), results.nginxLoad.seconds.toFixed(1));
row('thumbnails not answered 200', String(results.oursLoad.failed), String(results.nginxLoad.failed), false);
console.log();
const checks = [
  ['first thumbnail under 150 ms', results.oursFirst < 150],
  ['made thumbnail under 5 ms', results.oursCached < 5],
  ['listing p99 under 100 ms while 2,000 thumbnails are made', percentile(results.oursLoad.times, 0.99) < 100],
  ['every thumbnail answered', results.oursLoad.failed === 0],
];
for (const [label, ok] of checks) console.log(label + ': ' + (ok ? 'yes' : 'NO'));
process.exitCode = checks.every(([, ok]) => ok) ? 0 : 1;
