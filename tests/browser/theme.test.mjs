// The theme button, the ?theme= parameter and the stored choice, as the page's colours show them.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { sessionForTests, writeTree } from './support/harness.mjs';

const session = sessionForTests(() => ({ shares: { docs: writeTree({ 'a.txt': 'a' }) } }), { colorScheme: 'dark' });

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

const DARK = { attribute: 'dark', label: 'Dark', icon: 'sun', background: '#18191d', good: '#0e925d', stored: 'dark' };
const LIGHT = { attribute: 'light', label: 'Light', icon: 'moon', background: '#edf0f4', good: '#0e925d', stored: 'light' };
// "System" follows the browser's preference, with the brighter status colours of the dark variant.
const SYSTEM = { attribute: null, label: 'System', icon: 'moon', background: '#18191d', good: '#26d463', stored: 'system' };

test('the button cycles dark, light and system, and the choice survives a reload', async () => {
  const page = await session.browser.newPage();
  await page.goto(session.server.origin + '/docs/');
  assert.equal(await page.getAttribute('#theme-toggle', 'title'), 'Toggle theme');
  assert.deepEqual(await look(page), DARK);
  await page.click('#theme-toggle');
  assert.deepEqual(await look(page), LIGHT);
  await page.click('#theme-toggle');
  assert.deepEqual(await look(page), SYSTEM);
  await page.emulateMedia({ colorScheme: 'light' });
  assert.equal((await look(page)).background, '#edf0f4');
  await page.reload();
  assert.equal((await look(page)).label, 'System');
  await page.click('#theme-toggle');
  assert.equal((await look(page)).label, 'Dark');
  await page.close();
});

test('?theme= forces a theme and is remembered for later visits', async () => {
  const page = await session.browser.newPage();
  await page.goto(session.server.origin + '/?theme=light');
  assert.equal((await look(page)).background, '#edf0f4');
  await page.goto(session.server.origin + '/docs/a.txt');
  assert.deepEqual(await look(page), LIGHT);
  // An unknown value is taken as "system" rather than leaving the page in an undefined look.
  await page.goto(session.server.origin + '/?theme=%3Cbogus%3E');
  assert.deepEqual(await look(page), SYSTEM);
  await page.close();
});
