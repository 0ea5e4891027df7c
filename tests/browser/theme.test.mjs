// The theme button, the ?theme= parameter and the stored choice, as the page's colours show them.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { launchBrowser, startServer, temporaryFolder, writeTree } from './support/harness.mjs';

let server;

before(async () => {
  const root = writeTree(temporaryFolder('theme-'), { 'a.txt': 'a' });
  server = await startServer({ shares: { docs: root } });
});

after(async () => {
  await server?.stop();
});

function look(page) {
  return page.evaluate(() => {
    const style = getComputedStyle(document.documentElement);
    return {
      attribute: document.documentElement.getAttribute('data-theme'),
      label: document.getElementById('theme-toggle').textContent,
      icon: document.querySelector('#theme-toggle svg').classList.contains('icon-sun') ? 'sun' : 'moon',
      background: style.getPropertyValue('--bg').trim(),
      good: style.getPropertyValue('--good').trim(),
      stored: localStorage.getItem('quarry-share-theme'),
    };
  });
}

test('the button cycles dark, light and system, and the choice survives a reload', async () => {
  const browser = await launchBrowser({ colorScheme: 'dark' });
  try {
    const page = await browser.newPage();
    await page.goto(server.origin + '/docs/');
    assert.equal(await page.getAttribute('#theme-toggle', 'title'), 'Toggle theme');
    assert.deepEqual(await look(page), {
      attribute: 'dark', label: 'Dark', icon: 'sun', background: '#18191d', good: '#0e925d', stored: 'dark',
    });

    await page.click('#theme-toggle');
    assert.deepEqual(await look(page), {
      attribute: 'light', label: 'Light', icon: 'moon', background: '#edf0f4', good: '#0e925d', stored: 'light',
    });

    // "System" follows the browser's preference, with the brighter status colours of the dark variant.
    await page.click('#theme-toggle');
    assert.deepEqual(await look(page), {
      attribute: null, label: 'System', icon: 'moon', background: '#18191d', good: '#26d463', stored: 'system',
    });
    await page.emulateMedia({ colorScheme: 'light' });
    assert.equal((await look(page)).background, '#edf0f4');

    await page.reload();
    assert.equal((await look(page)).label, 'System');
    await page.click('#theme-toggle');
    assert.equal((await look(page)).label, 'Dark');
    await page.close();
    assert.deepEqual(browser.problems, []);
  } finally {
    await browser.close();
  }
});

test('?theme= forces a theme and is remembered for later visits', async () => {
  const browser = await launchBrowser({ colorScheme: 'dark' });
  try {
    const page = await browser.newPage();
    await page.goto(server.origin + '/?theme=light');
    assert.equal((await look(page)).background, '#edf0f4');
    await page.goto(server.origin + '/docs/a.txt');
    assert.deepEqual(await look(page), {
      attribute: 'light', label: 'Light', icon: 'moon', background: '#edf0f4', good: '#0e925d', stored: 'light',
    });

    // An unknown value is taken as "system" rather than leaving the page in an undefined look.
    await page.goto(server.origin + '/?theme=%3Cbogus%3E');
    assert.deepEqual(await look(page), {
      attribute: null, label: 'System', icon: 'moon', background: '#18191d', good: '#26d463', stored: 'system',
    });
    await page.close();
    assert.deepEqual(browser.problems, []);
  } finally {
    await browser.close();
  }
});
