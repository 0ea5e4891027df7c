// Measures searching a share by name against the real server, in one run:
//   - a search over a share of 100,000 entries in 1,000 folders for a name that occurs once (so the
//     whole tree is walked): the first search after the page cache was dropped (cold), then the median
//     of seven (warm); beside it GNU find walking the same tree for the same name, cold and warm;
//   - a folder listing's p50 and p99, idle and while eight clients search at once, beside nginx
//     listing the same folder under the same load.
// Targets: a search under 1 s cold and under 300 ms warm; the listing's p99 under 100 ms while eight
// clients search. Dropping the page cache needs root; without it the "cold" figures are the first run.
// Usage: node bench/search.mjs [--serve PATH_TO_brightloom-share]   (default: $BUILD_DIR/brightloom-share)
// Everything stays on 127.0.0.1 and in a private temporary folder; every loop is bounded.
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';

import { benchFolder, freePort, serveBinary, startServe } from './support.mjs';

const serve = serveBinary();

const TOP_FOLDERS = 10;
const SUB_FOLDERS = 99; // per top folder: 10 + 990 = 1,000 folders
const FILES = 100; // per sub folder: 99,000 files, 100,000 entries in all
const NEEDLE = 'IMG_042135';
const WARM_RUNS = 7;
const SEARCHERS = 8;
const LISTINGS = 300; // per phase
const PHASE_LIMIT_MS = 15000;
const LISTED = 'archive-03/batch-042';

const { work, env } = benchFolder('search');
fs.mkdirSync(path.join(work, 'nginx'), { recursive: true });

// Photos, scans and notes under names a camera and a scanner would give. The files are hard links to
// one empty file per top folder (a file takes at most 65,000 links on ext4): creating 99,000 files one
// by one takes minutes on some file systems, and the search reads only names and folder types.
function buildShare() {
  const share = path.join(work, 'share');
  let number = 0;
  for (let top = 0; top < TOP_FOLDERS; top += 1) {
    const seed = path.join(work, 'seed-' + top);
    fs.writeFileSync(seed, '');
    for (let sub = 0; sub < SUB_FOLDERS; sub += 1) {
      const folder = path.join(share, 'archive-' + String(top).padStart(2, '0'), 'batch-' + String(sub).padStart(3, '0'));
      fs.mkdirSync(folder, { recursive: true });
      for (let file = 0; file < FILES; file += 1, number += 1) {
        const id = String(number).padStart(6, '0');
        const name = file % 10 < 7 ? 'IMG_' + id + '.jpg' : file % 10 < 9 ? 'scan ' + id + '.pdf' : 'notes-' + id + '.txt';
        fs.linkSync(seed, path.join(folder, name));
      }
    }
  }
  return share;
}

async function startNginx(share) {
  const port = await freePort();
  const folder = path.join(work, 'nginx');
  const config = path.join(folder, 'nginx.conf');
  fs.writeFileSync(config, [
    process.getuid() === 0 ? 'user root root;' : '',
    'worker_processes 1;', 'daemon off;', 'pid ' + folder + '/nginx.pid;', 'error_log ' + folder + '/error.log;',
    'events { worker_connections 1024; }',
    'http { access_log off; keepalive_timeout 0; client_body_temp_path ' + folder + '/body; proxy_temp_path ' +
      folder + '/proxy; fastcgi_temp_path ' + folder + '/fastcgi; uwsgi_temp_path ' + folder + '/uwsgi; ' +
      'scgi_temp_path ' + folder + '/scgi;',
    '  server { listen 127.0.0.1:' + port + '; root ' + share + '; autoindex on; } }',
  ].join('\n'));
  const child = spawn('nginx', ['-e', folder + '/error.log', '-p', folder, '-c', config], { stdio: 'ignore' });
  for (let attempt = 0; attempt < 100; attempt += 1) {
    try {
      await get(port, '/');
      return { port, stop: () => child.kill('SIGQUIT') };
    } catch (error) {
      await new Promise((resolve) => setTimeout(resolve, 100));
    }
  }
  throw new Error('nginx did not start');
}

// One request on a fresh connection; resolves with the milliseconds to the whole answer and its body.
function get(port, target, headers = {}) {
  return new Promise((resolve, reject) => {
    const started = process.hrtime.bigint();
    const request = http.get({ host: '127.0.0.1', port, path: target, headers, agent: false, timeout: 30000 }, (response) => {
      const chunks = [];
      response.on('data', (chunk) => chunks.push(chunk));
      response.on('end', () => {
        const ms = Number(process.hrtime.bigint() - started) / 1e6;
        if (response.statusCode !== 200) reject(new Error(target + ' answered ' + response.statusCode));
        else resolve({ ms, body: Buffer.concat(chunks).toString('utf8') });
      });
    });
    request.on('timeout', () => request.destroy(new Error(target + ' timed out')));
    request.on('error', reject);
  });
}

// Empties the page cache, so the next walk reads the folders from the disk; false without permission.
function dropCaches() {
  try {
    execFileSync('sync');
    fs.writeFileSync('/proc/sys/vm/drop_caches', '3');
    return true;
  } catch (error) {
    return false;
  }
}

const searchTarget = (query) => '/__search/bench?q=' + encodeURIComponent(query);

async function timeSearch(port, query) {
  const { ms, body } = await get(port, searchTarget(query));
  const answer = JSON.parse(body);
  return { ms, found: answer.items.length, searched: answer.searchedEntries, truncated: answer.truncated };
}

function timeFind(share, query) {
  const started = process.hrtime.bigint();
  const result = spawnSync('find', [share, '-iname', '*' + query + '*'], { encoding: 'utf8', timeout: 60000 });
  const ms = Number(process.hrtime.bigint() - started) / 1e6;
  return { ms, found: result.stdout.split('\n').filter(Boolean).length };
}

function percentile(values, fraction) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.ceil(fraction * sorted.length) - 1)];
}

const median = (values) => percentile(values, 0.5);

async function listingTimes(port, target) {
  const times = [];
  const deadline = Date.now() + PHASE_LIMIT_MS;
  while (times.length < LISTINGS && Date.now() < deadline) times.push((await get(port, target)).ms);
  return times;
}

// Eight visitors (as the tunnel names them) searching one after another until told to stop.
function startSearchers(port) {
  const state = { stop: false, done: 0, times: [], failures: 0 };
  const queries = [NEEDLE, 'scan 04', 'notes 9', 'nothing like it'];
  const loops = [];
  for (let visitor = 0; visitor < SEARCHERS; visitor += 1) {
    loops.push((async () => {
      const headers = { 'Cf-Connecting-Ip': '198.51.100.' + (visitor + 1) };
      for (let round = 0; round < 500 && !state.stop; round += 1) {
        try {
          state.times.push((await get(port, searchTarget(queries[(visitor + round) % queries.length]), headers)).ms);
          state.done += 1;
        } catch (error) {
          state.failures += 1;
        }
      }
    })());
  }
  return { state, async stop() { state.stop = true; await Promise.all(loops); } };
}

const ms = (value) => (Number.isFinite(value) ? value.toFixed(1) + ' ms' : 'n/a');
const ratio = (a, b) => (b > 0 ? (a / b).toFixed(2) : 'n/a');

let server;
let nginx;
try {
  console.log('Preparing the share (100,000 entries in 1,000 folders)...');
  const share = buildShare();
  server = await startServe(serve, share, env);
  nginx = await startNginx(share);

  console.log('Measuring...');
  const cold = dropCaches();
  const ourCold = await timeSearch(server.port, NEEDLE);
  if (cold) dropCaches();
  const findCold = timeFind(share, NEEDLE);
  const ourWarm = [];
  for (let run = 0; run < WARM_RUNS; run += 1) ourWarm.push(await timeSearch(server.port, NEEDLE));
  const findWarm = [];
  for (let run = 0; run < 3; run += 1) findWarm.push(timeFind(share, NEEDLE));
  const capped = await timeSearch(server.port, 'scan');

  const listing = '/__browse/bench?path=' + encodeURIComponent(LISTED);
  for (let run = 0; run < 20; run += 1) await Promise.all([get(server.port, listing), get(nginx.port, '/' + LISTED + '/')]);
  const idle = await listingTimes(server.port, listing);
  const nginxIdle = await listingTimes(nginx.port, '/' + LISTED + '/');
  const searchers = startSearchers(server.port);
  await new Promise((resolve) => setTimeout(resolve, 500));
  const loaded = await listingTimes(server.port, listing);
  const nginxLoaded = await listingTimes(nginx.port, '/' + LISTED + '/');
  const searchesDuringLoad = searchers.state.done;
  await searchers.stop();

  const warm = median(ourWarm.map((run) => run.ms));
  console.log('');
  console.log('search for ' + NEEDLE + ': ' + ourCold.found + ' found among ' + ourCold.searched + ' entries' +
    (ourCold.truncated ? ' (TRUNCATED)' : '') + '; find found ' + findCold.found);
  const rows = [
    ['measure', 'brightloom-share', 'reference', 'ratio'],
    ['search, ' + (cold ? 'cold cache' : 'first run (cache not dropped)'), ms(ourCold.ms), 'find ' + ms(findCold.ms),
      ratio(ourCold.ms, findCold.ms)],
    ['search, warm (median of ' + WARM_RUNS + ')', ms(warm), 'find ' + ms(median(findWarm.map((run) => run.ms))),
      ratio(warm, median(findWarm.map((run) => run.ms)))],
    ['search for "scan" (stops at ' + capped.found + ' items)', ms(capped.ms), '', ''],
    ['listing p50 / p99, idle', ms(median(idle)) + ' / ' + ms(percentile(idle, 0.99)),
      'nginx ' + ms(median(nginxIdle)) + ' / ' + ms(percentile(nginxIdle, 0.99)),
      ratio(percentile(idle, 0.99), percentile(nginxIdle, 0.99))],
    ['listing p50 / p99, ' + SEARCHERS + ' clients searching', ms(median(loaded)) + ' / ' + ms(percentile(loaded, 0.99)),
      'nginx ' + ms(median(nginxLoaded)) + ' / ' + ms(percentile(nginxLoaded, 0.99)),
      ratio(percentile(loaded, 0.99), percentile(nginxLoaded, 0.99))],
    ['searches answered meanwhile (median)', searchesDuringLoad + ' (' + ms(median(searchers.state.times)) + ')',
      searchers.state.failures + ' failed', ''],
  ];
  const widths = rows[0].map((_, column) => Math.max(...rows.map((row) => row[column].length)));
  for (const row of rows) console.log(row.map((cell, column) => cell.padEnd(widths[column])).join('  '));
  console.log('');
  const verdicts = [
    ['search under 1 s ' + (cold ? 'cold' : 'on its first run'), ourCold.ms < 1000 && !ourCold.truncated],
    ['search under 300 ms warm', warm < 300],
    ['listing p99 under 100 ms while ' + SEARCHERS + ' clients search', percentile(loaded, 0.99) < 100],
  ];
  for (const [label, met] of verdicts) console.log(label + ': ' + (met ? 'yes' : 'NO'));
  if (!cold) console.log('(the page cache could not be dropped here: the first run read folders already cached)');
  if (!verdicts.every(([, met]) => met) || searchers.state.failures) process.exitCode = 1;
} finally {
  server?.stop();
  nginx?.stop();
  await new Promise((resolve) => setTimeout(resolve, 300));
  fs.rmSync(work, { recursive: true, force: true });
}
