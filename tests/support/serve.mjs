// `brightloom-share serve` for the browser tests and the benchmarks: started with `--port 0`, its port
// read from the first address it prints. Its standard input is a pipe, so it ends with the process
// that started it, whatever happens to that one.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import readline from 'node:readline';
import { setTimeout as sleep } from 'node:timers/promises';
import { pathToFileURL } from 'node:url';

// The port of a line "  http://127.0.0.1:PORT/…" as serve prints it; null for any other line.
export function printedPort(line) {
  const match = /^\s*http:\/\/127\.0\.0\.1:(\d+)\//.exec(line);
  return match ? Number(match[1]) : null;
}

// Runs `binary serve --port 0 --no-qr ARGS…` and resolves once it has printed its address.
export async function startServing(binary, args, env) {
  const child = spawn(binary, ['serve', '--port', '0', '--no-qr', ...args], {
    env,
    stdio: ['pipe', 'pipe', 'inherit'],
  });
  const exited = new Promise((resolve) => child.once('exit', resolve));
  const port = await new Promise((resolve, reject) => {
    readline.createInterface({ input: child.stdout }).on('line', (line) => {
      const found = printedPort(line);
      if (found) resolve(found);
    });
    child.once('exit', (code) => reject(new Error('brightloom-share serve ended early with status ' + code)));
    setTimeout(() => reject(new Error('brightloom-share serve printed no address')), 30000).unref();
  });
  return {
    child,
    port,
    origin: 'http://127.0.0.1:' + port,
    // Asks it to end, and makes it after 15 seconds.
    async stop() {
      if (child.exitCode !== null || child.signalCode !== null) return;
      child.kill('SIGTERM');
      const killer = setTimeout(() => child.kill('SIGKILL'), 15000);
      await exited;
      clearTimeout(killer);
    },
  };
}

// For the shell benchmarks, which start serve themselves: `node serve.mjs FILE` prints the port from
// serve's output as it is written to FILE, waiting ten seconds at most (status 1 without one).
if (process.argv[1] && import.meta.url === pathToFileURL(process.argv[1]).href) {
  for (let waited = 0; waited < 10000; waited += 100) {
    const printed = fs.existsSync(process.argv[2]) ? fs.readFileSync(process.argv[2], 'utf8') : '';
    const port = printed.split('\n').map(printedPort).find(Boolean);
    if (port) {
      console.log(port);
      process.exit(0);
    }
    await sleep(100);
  }
  process.exit(1);
}
