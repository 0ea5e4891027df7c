// Shared pieces of the browser tests: fixture trees on disk, the real server started on a free
// loopback port, and Chromium with a fresh profile that records every console error and every
// Content-Security-Policy violation.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { chromium } from 'playwright-core';

const CHROMIUM_FLAGS = [
  '--headless',
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];

export const FIXED_DATE = new Date('2024-06-01T09:30:00Z');

export function temporaryFolder(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// Builds a folder tree: keys are relative paths ("x/" for a folder); values are file contents, or a
// number for a file of that many bytes. Every entry gets FIXED_DATE as its modification time.
export function writeTree(root, entries) {
  for (const [relative, content] of Object.entries(entries)) {
    const target = path.join(root, relative);
    if (relative.endsWith('/')) {
      fs.mkdirSync(target, { recursive: true });
      continue;
    }
    fs.mkdirSync(path.dirname(target), { recursive: true });
    if (typeof content === 'number') {
      fs.writeFileSync(target, '');
      fs.truncateSync(target, content);
    } else {
      fs.writeFileSync(target, content);
    }
  }
  const touch = (folder) => {
    for (const name of fs.readdirSync(folder)) {
      const child = path.join(folder, name);
      if (fs.lstatSync(child).isDirectory()) touch(child);
      fs.utimesSync(child, FIXED_DATE, FIXED_DATE);
    }
  };
  touch(root);
  return root;
}

// Starts serve_shares on port 0 and resolves once it names its port.
export async function startServer({ shares = {}, names = {}, passwords = {}, disabled = [] }) {
  const executable = process.env.SERVE_SHARES;
  if (!executable) throw new Error('SERVE_SHARES is not set');
  const args = ['--port', '0'];
  for (const [slug, folder] of Object.entries(shares)) args.push('--share', slug, folder);
  for (const [slug, name] of Object.entries(names)) args.push('--name', slug, name);
  for (const [slug, password] of Object.entries(passwords)) args.push('--password', slug, password);
  for (const slug of disabled) args.push('--disabled', slug);

  // Listings sort in the server's locale; give it the visitor-facing one the tests expect.
  const env = { ...process.env, LANG: 'en_US.UTF-8', LC_ALL: 'en_US.UTF-8' };
  const child = spawn(executable, args, { env, stdio: ['pipe', 'pipe', 'inherit'] });
  const exited = new Promise((resolve) => child.once('exit', resolve));
  const port = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('serve_shares did not report its port')), 30000);
    const lines = readline.createInterface({ input: child.stdout });
    lines.on('line', (line) => {
      const match = /^LISTENING (\d+)$/.exec(line.trim());
      if (match) {
        clearTimeout(timer);
        resolve(Number(match[1]));
      }
    });
    child.once('exit', (code) => {
      clearTimeout(timer);
      reject(new Error('serve_shares ended early with status ' + code));
    });
  });
  return {
    port,
    origin: 'http://127.0.0.1:' + port,
    async stop() {
      if (child.exitCode !== null || child.signalCode !== null) return;
      child.stdin.end();
      child.kill('SIGTERM');
      const killer = setTimeout(() => child.kill('SIGKILL'), 15000);
      await exited;
      clearTimeout(killer);
    },
  };
}

// One Chromium with a fresh profile. `problems` collects console errors, uncaught page errors and
// CSP violations from every page of the context; `expected` patterns are left out of it.
export async function launchBrowser({ viewport = { width: 1440, height: 900 }, colorScheme = 'light' } = {}) {
  const profile = temporaryFolder('chromium-profile-');
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: CHROMIUM_FLAGS,
    locale: 'en-US',
    timezoneId: 'UTC',
    viewport,
    colorScheme,
  });
  const problems = [];
  const expected = [];
  const record = (text) => {
    if (!expected.some((pattern) => pattern.test(text))) problems.push(text);
  };
  await context.exposeBinding('__reportViolation', (source, text) => record('CSP violation: ' + text));
  await context.addInitScript(() => {
    document.addEventListener('securitypolicyviolation', (event) => {
      window.__reportViolation(event.violatedDirective + ' blocked ' + event.blockedURI);
    });
  });
  context.on('console', (message) => {
    if (message.type() !== 'error') return;
    const source = message.location().url || message.page()?.url() || '';
    // Chromium asks every site for /favicon.ico on its own; the server pages have no icon link.
    if (new URL(source, 'http://x').pathname === '/favicon.ico') return;
    record('console: ' + message.text() + ' (' + source + ')');
  });
  context.on('weberror', (error) => record('page error: ' + error.error().message));
  return {
    context,
    problems,
    expectProblem(pattern) {
      expected.push(pattern);
    },
    newPage() {
      return context.newPage();
    },
    async close() {
      await context.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

export async function screenshot(page, name) {
  const folder = process.env.SCREENSHOT_DIR || temporaryFolder('screenshots-');
  fs.mkdirSync(folder, { recursive: true });
  await page.screenshot({ path: path.join(folder, name), fullPage: false });
}
