// DNS rebinding as a stranger plays it: a page of the stranger's own name, loaded while that name
// pointed at the stranger's server, finds the name pointing at this computer and asks it for a share.
// Chromium resolves the name to 127.0.0.1 (--host-resolver-rules); the page's first answer is handed to
// it by the test, as the stranger's server would have sent it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { sessionForTests, writeTree } from './support/harness.mjs';

const FOREIGN = 'rebind.example';

const session = sessionForTests(
  () => ({ shares: { docs: writeTree({ 'secret.txt': 'the secret', 'notes/a.txt': 'a' }) } }),
  (server) => ({
    // Chromium's own guard for local networks would refuse the page's requests before they reach the
    // server; other browsers have none, so the server must hold by itself: it is taken for public here.
    args: [`--host-resolver-rules=MAP ${FOREIGN} 127.0.0.1`,
      `--ip-address-space-overrides=127.0.0.1:${new URL(server.origin).port}=public`],
    // The refused requests of the stranger's page and the refused page itself; and Chromium's note that
    // it ignores Cross-Origin-Opener-Policy on a plain-HTTP origin other than loopback's.
    expected: [/status of 421/, /Cross-Origin-Opener-Policy header has been ignored/],
  })
);

const ATTACK = `<!doctype html><title>Win a prize</title><script>
  window.stolen = Promise.all(['/__browse/docs?path=', '/docs/secret.txt?download=1'].map((target) =>
    fetch(target).then(async (response) => ({ status: response.status, body: await response.text() }),
                       (error) => ({ status: 0, body: String(error) }))));
</script>`;

test("a page on a foreign name pointed at this computer reads nothing of a share", async () => {
  const port = new URL(session.server.origin).port;
  const foreignOrigin = `http://${FOREIGN}:${port}`;
  // The share answers its own name, so what follows fails only for the foreign one.
  const page = await session.open('/');
  assert.equal(await page.evaluate(() => fetch('/docs/secret.txt?download=1').then((r) => r.text())),
    'the secret');

  await page.route(`${foreignOrigin}/prize.html`, (route) =>
    route.fulfill({ status: 200, contentType: 'text/html', body: ATTACK }));
  await page.goto(`${foreignOrigin}/prize.html`);
  const stolen = await page.evaluate(() => window.stolen);
  assert.deepEqual(stolen.map((answer) => answer.status), [421, 421]);
  assert.doesNotMatch(stolen.map((answer) => answer.body).join(), /the secret|notes|secret\.txt/);

  await page.unrouteAll();
  const refused = await page.goto(`${foreignOrigin}/docs/`);
  assert.equal(refused.status(), 421);
  assert.equal(await page.textContent('.lede'),
    `This computer does not answer to the name ${FOREIGN}. Ask the person who shared the link for the address it shows.`);
});
