// Shared pieces of the browser tests: fixture trees on disk, the real server started on a free
// loopback port, and Chromium with a fresh profile that records every console error and every
// Content-Security-Policy violation.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, afterEach, before } from 'node:test';
import { chromium } from 'playwright-core';
import { startServing } from '../../support/serve.mjs';

const CHROMIUM_FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

const FIXED_DATE = new Date('2024-06-01T09:30:00Z');

function temporaryFolder(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// Builds a folder tree in a new temporary folder: keys are relative paths ("x/" for a folder); values
// are file contents, or a number for a file of that many bytes. Every entry is dated FIXED_DATE.
export function writeTree(entries) {
  const root = temporaryFolder('tree-');
  for (const [relative, content] of Object.entries(entries)) {
    const target = path.join(root, relative);
    fs.mkdirSync(relative.endsWith('/') ? target : path.dirname(target), { recursive: true });
    if (relative.endsWith('/')) continue;
    fs.writeFileSync(target, typeof content === 'number' ? '' : content);
    if (typeof content === 'number') fs.truncateSync(target, content);
  }
  for (const relative of fs.readdirSync(root, { recursive: true })) {
    fs.utimesSync(path.join(root, relative), FIXED_DATE, FIXED_DATE);
  }
  return root;
}

// Serves the shares: each share's slug, name, password and end go before its folder (a password stays
// for the folders after it, so every share names its own, empty for none).
function startServer({ shares = {}, names = {}, passwords = {}, ends = {} }) {
  const args = [];
  for (const [slug, folder] of Object.entries(shares)) {
    args.push('--slug', slug, '--password', passwords[slug] ?? '');
    if (slug in names) args.push('--name', names[slug]);
    if (slug in ends) args.push('--until', ends[slug]);
    args.push(folder); // an absolute path: never taken for an option
  }
  // Listings sort in the server's locale; give it the visitor-facing one the tests expect.
  const env = { ...process.env, LANG: 'en_US.UTF-8', LC_ALL: 'en_US.UTF-8' };
  return startServing(process.env.BRIGHTLOOM_SHARE, args, env);
}

// One Chromium with a fresh profile and any further `args`. `problems` collects console errors,
// uncaught page errors and CSP violations from every page, except those matching an `expected` pattern;
// `device` overrides the desktop window (a phone's viewport, touch and mobile viewport handling).
async function launchBrowser({ expected = [], device = {}, args = [] } = {}) {
  const profile = temporaryFolder('chromium-profile-');
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: [...CHROMIUM_FLAGS, ...args],
    locale: 'en-US',
    timezoneId: 'UTC',
    viewport: { width: 1440, height: 900 },
    colorScheme: 'light',
    ...device,
  });
  const problems = [];
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
    // A file without a thumbnail or display rendition (not an image, or a broken one) keeps its icon
    // or shows the file itself: nothing went wrong.
    if (/status of 404/.test(message.text()) && /^\?(thumb|preview)=1$/.test(new URL(source, 'http://x').search)) return;
    record('console: ' + message.text() + ' (' + source + ')');
  });
  context.on('weberror', (error) => record('page error: ' + error.error().message));
  return {
    context,
    problems,
    newPage: () => context.newPage(),
    async close() {
      await context.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

// Gives the tests of one file a server over `serverOptions()` and a browser (over `browserOptions`, or
// what it gives for the server), and checks once they are done that no page logged an error or tripped
// the security policy.
export function sessionForTests(serverOptions, browserOptions) {
  const session = {};
  const opened = [];
  // A new page, on `target` of the server when given; it is closed when the test ends.
  session.open = async (target) => {
    const page = await session.browser.newPage();
    opened.push(page);
    if (target !== undefined) await page.goto(session.server.origin + target);
    return page;
  };
  before(async () => {
    session.server = await startServer(serverOptions());
    session.browser = await launchBrowser(
      typeof browserOptions === 'function' ? browserOptions(session.server) : browserOptions);
  });
  afterEach(async () => {
    for (const page of opened.splice(0)) await page.close();
  });
  after(async () => {
    const problems = session.browser?.problems ?? [];
    await session.browser?.close();
    await session.server?.stop();
    assert.deepEqual(problems, []);
  });
  return session;
}

// Into SCREENSHOT_DIR, which run_tests.sh always sets. A picture is for people to look at, not a check:
// Chromium under load now and then cannot capture a frame, which is tried again and then only reported.
export async function screenshot(page, name) {
  for (let attempt = 1; ; ++attempt) {
    try {
      return await page.screenshot({ path: path.join(process.env.SCREENSHOT_DIR, name) });
    } catch (error) {
      if (!/Unable to capture screenshot/.test(error.message)) throw error;
      if (attempt === 3) return console.warn(`screenshot ${name} not taken: ${error.message.split('\n')[0]}`);
      await page.waitForTimeout(500);
    }
  }
}
