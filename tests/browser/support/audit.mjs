// Runs axe-core's accessibility audit in a page and gives its violations as plain, readable data.
import fs from 'node:fs';
import { createRequire } from 'node:module';

const axeSource = fs.readFileSync(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');

// The script goes in through the debugging protocol, which the page's Content-Security-Policy does
// not govern, so the audit sees the page exactly as the server sent it.
// `skipped` names rules left out of this audit.
export async function accessibilityViolations(page, skipped = []) {
  if (!(await page.evaluate(() => typeof window.axe === 'object'))) await page.evaluate(axeSource);
  return page.evaluate(async (skipped) => {
    const rules = Object.fromEntries(skipped.map((rule) => [rule, { enabled: false }]));
    const results = await window.axe.run(document, { resultTypes: ['violations'], rules });
    return results.violations.map((violation) => ({
      rule: violation.id,
      impact: violation.impact,
      where: violation.nodes.map((node) => node.target.join(' ')),
    }));
  }, skipped);
}
