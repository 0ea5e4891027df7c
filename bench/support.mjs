// What the Node benchmarks share: the binary under test, a private temporary home, a free port and a
// running `brightloom-share serve`. Everything stays on 127.0.0.1 and in the temporary folder.
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { startServing } from '../tests/support/serve.mjs';

export const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');

// The application to measure: --serve PATH, else $BUILD_DIR/brightloom-share (default build/).
export function serveBinary() {
  const index = process.argv.indexOf('--serve');
  const serve = path.resolve(
    index > 0 ? process.argv[index + 1] : path.join(repo, process.env.BUILD_DIR || 'build', 'brightloom-share')
  );
  if (!fs.existsSync(serve)) {
    console.error('bench: ' + serve + ' is missing; run make build first');
    process.exit(1);
  }
  return serve;
}

// A fresh folder for one run, with a home and temporary folder of its own so nothing reaches the real
// ones; the server sorts in the visitor-facing locale the figures assume.
export function benchFolder(name) {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'brightloom-' + name + '-bench-'));
  const home = path.join(work, 'home');
  const env = {
    ...process.env,
    HOME: home,
    XDG_DATA_HOME: path.join(home, '.local/share'),
    XDG_CONFIG_HOME: path.join(home, '.config'),
    XDG_CACHE_HOME: path.join(home, '.cache'),
    XDG_STATE_HOME: path.join(home, '.local/state'),
    TMPDIR: path.join(work, 'tmp'),
    LANG: 'en_US.UTF-8',
    LC_ALL: 'en_US.UTF-8',
  };
  for (const folder of [home, env.TMPDIR]) fs.mkdirSync(folder, { recursive: true });
  return { work, home, env };
}

export function freePort() {
  return new Promise((resolve) => {
    const probe = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

// Starts `serve` sharing `folder` under the slug "bench" and resolves once it has printed its address.
export function startServe(serve, folder, env) {
  return startServing(serve, ['--slug', 'bench', folder], env);
}
