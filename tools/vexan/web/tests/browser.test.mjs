// The dashboard in a real headless browser (Debian's chromium, driven by
// playwright-core) on a simulated bus: nodes and states, a boot-up and an
// EMCY in the log, an object read and written through the node view, a PDO
// plot after SYNCs. Saves a screenshot of the bus view on every run and
// prints the time from a simulated event to its appearance on the page.
//
// Skipped, saying why, when chromium or the npm packages are missing, except
// under CI=true or VEXAN_REQUIRE_BROWSER=1, which fail instead.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';
import { startBus, get, post, edsDir, until } from './harness.mjs';

const chromiumPath = process.env.VEXAN_CHROMIUM || '/usr/bin/chromium';
const require = createRequire(import.meta.url);
let playwright = null;
let missing = '';
try {
  playwright = require('playwright-core');
} catch (e) {
  missing = 'playwright-core is not installed (run `npm ci` in tools/vexan/web)';
}
if (!missing && !fs.existsSync(chromiumPath)) missing = `no browser at ${chromiumPath} (apt-get install chromium)`;
if (missing && (process.env.VEXAN_REQUIRE_BROWSER === '1' || process.env.CI === 'true')) {
  throw new Error(`browser tests required here but cannot run: ${missing}`);
}
if (missing) console.log(`browser tests skipped: ${missing}`);

const edsFile = path.join(edsDir, 'technosoft_isd860.eds');
const shots = process.env.VEXAN_SCREENSHOT_DIR || os.tmpdir();

describe('dashboard in a browser', { skip: missing || false }, () => {
  let bus;
  let browser;
  let page;
  before(async () => {
    bus = await startBus({ nodes: '5,6', eds: [{ file: edsFile, node: 10 }] });
    browser = await playwright.chromium.launch({
      executablePath: chromiumPath,
      headless: true,
      args: process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : [],
    });
    page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
    page.setDefaultTimeout(30000);
    page.on('pageerror', (e) => { console.log(`page error: ${e.message}`); });
    await page.goto(bus.url);
  });
  after(async () => {
    await browser?.close();
    await bus?.stop();
  });

  const stateOf = (node) => page.locator(`tr[data-net="1"][data-node="${node}"] .state`);

  test('shows every node of the bus with its state and device name', async () => {
    for (const node of [5, 6, 10]) {
      await assert.doesNotReject(stateOf(node).filter({ hasText: 'pre-operational' }).waitFor());
    }
    const row10 = page.locator('tr[data-net="1"][data-node="10"]');
    assert.match(await row10.innerText(), /IDM|ISCM|\S/);
    assert.equal(await page.locator('#link').innerText(), 'live');
  });

  test('a boot-up and an EMCY show in the log and in the bus view', async () => {
    await page.click('button[aria-label="Start node 6"]');
    await stateOf(6).filter({ hasText: /^operational$/ }).waitFor();
    // From the simulator's event to the page: boot-ups of node 6 (each puts it
    // back to pre-operational), timed here until the log row is on the page.
    const times = [];
    await page.evaluate(() => { location.hash = 'events'; });
    for (let i = 0; i < 5; ++i) {
      // The page notes the moment the row is added (same clock: one machine).
      await page.evaluate(() => {
        const n = document.querySelectorAll('tr[data-kind="bootup"][data-node="6"]').length;
        window.shownAt = 0;
        const observer = new MutationObserver(() => {
          if (document.querySelectorAll('tr[data-kind="bootup"][data-node="6"]').length > n) {
            window.shownAt = Date.now();
            observer.disconnect();
          }
        });
        observer.observe(document.getElementById('event-rows'), { childList: true });
      });
      const sent = Date.now();
      bus.control('bootup 6');
      await page.waitForFunction(() => window.shownAt > 0);
      times.push(await page.evaluate(() => window.shownAt) - sent);
    }
    times.sort((a, b) => a - b);
    console.log(`simulated event to the page: median ${times[2]} ms, min ${times[0]} ms, max ${times[4]} ms (5 boot-ups)`);
    // A node that really restarts: back to pre-operational in the bus view;
    // a node new on the bus appears with its boot-up.
    await page.evaluate(() => { location.hash = 'bus'; });
    bus.control('remove-node 6');
    bus.control('add-node 6');
    await stateOf(6).filter({ hasText: 'pre-operational' }).waitFor();
    bus.control('add-node 7');
    await stateOf(7).filter({ hasText: 'pre-operational' }).waitFor();

    bus.control('emcy 5 10 81 11 00 00 00 00 00');
    await page.locator('tr[data-net="1"][data-node="5"] .emcy').filter({ hasText: '0x8110 CAN overrun' }).waitFor();
    await page.evaluate(() => { location.hash = 'events'; });
    const emcyRow = page.locator('tr[data-kind="emcy"][data-node="5"]').first();
    assert.match(await emcyRow.innerText(), /0x8110 CAN overrun \(objects lost\).*generic, communication/);
    // Filters: by node, then by kind; pause holds rows back; clear empties.
    await page.fill('#event-node', '6');
    assert.equal(await page.locator('tr[data-kind="emcy"]').count(), 0);
    await page.fill('#event-node', '');
    await page.uncheck('input[name=kind][value=bootup]');
    assert.equal(await page.locator('tr[data-kind="bootup"]').count(), 0);
    await page.check('input[name=kind][value=bootup]');
    await page.click('#event-pause');
    const shown = await page.locator('#event-rows tr').count();
    bus.control('bootup 5');
    await page.locator('#event-held').filter({ hasText: 'paused: 1 held' }).waitFor();
    assert.equal(await page.locator('#event-rows tr').count(), shown);
    await page.click('#event-pause');
    await until(async () => (await page.locator('#event-rows tr').count()) === shown + 1, 10000, 'held row shown');
    await page.click('#event-clear');
    assert.equal(await page.locator('#event-rows tr').count(), 0);
  });

  test('an object read and a write through the node view reach the simulated node', async () => {
    await page.evaluate(() => { location.hash = 'node/1/10'; });
    await page.fill('#od-search', 'heartbeat time');
    const row = page.locator('tr[data-id="1017-00"]');
    await row.waitFor();
    await row.locator('button[data-read]').click();
    await page.locator('#val-1017-00').filter({ hasText: /^\d+$/ }).waitFor();
    await row.locator('input').fill('1234');
    await row.locator('button[data-write]').click();
    await row.locator('output').filter({ hasText: 'written' }).waitFor();
    await page.locator('#val-1017-00').filter({ hasText: /^1234$/ }).waitFor();
    assert.equal((await get(bus, '/api/boards/1/nodes/10/sdo/1017/0')).json.value, 1234);
    // A value beyond the entry's limit is stopped in the page.
    await page.fill('#od-search', '1600');
    const mapped = page.locator('tr[data-id="1600-00"]');
    const before = (await get(bus, '/api/boards/1/nodes/10/sdo/1600/0')).json.value;
    await mapped.locator('input').fill('65');
    await mapped.locator('button[data-write]').click();
    assert.match(await mapped.locator('output').innerText(), /above the high limit 64/);
    assert.equal((await get(bus, '/api/boards/1/nodes/10/sdo/1600/0')).json.value, before);
    // The node's abort is shown with its meaning.
    await page.selectOption('#node-select', '1/5');
    await page.fill('#manual-index', '3000');
    await page.fill('#manual-sub', '0');
    await page.selectOption('#manual-type', 'u8');
    await page.click('#manual-read');
    await page.locator('#manual-out').filter({ hasText: '0x06020000 object does not exist' }).waitFor();
  });

  test('a PDO plot gets points after SYNCs', async () => {
    assert.equal((await post(bus, '/api/boards/1/nodes/5/sdo/1800/2', { value: 1, type: 'u8' })).status, 200);
    assert.equal((await post(bus, '/api/boards/1/nodes/5/nmt', { command: 'start' })).status, 200);
    await page.evaluate(() => { location.hash = 'pdo/1/5'; });
    await page.fill('#pdo-number', '1');
    await page.click('#pdo-install');
    await page.locator('#pdo-out').filter({ hasText: /installed on 0x185|error|:/ }).waitFor();
    assert.match(await page.locator('#pdo-out').innerText(), /installed on 0x185/);
    await page.locator('input[name=pdo][value="389"]').waitFor();
    await page.selectOption('#pdo-period', '50');
    await page.click('#pdo-start');
    await page.locator('#pdo-values tr').first().waitFor();
    assert.equal(await page.locator('#pdo-plot').getAttribute('data-points'), null);
    for (let i = 0; i < 3; ++i) {
      // One at a time: each SYNC's answer is in before the next (and before the PDO below).
      await page.evaluate(() => { document.getElementById('pdo-out').textContent = ''; });
      await page.click('#pdo-sync');
      await page.locator('#pdo-out').filter({ hasText: 'SYNC sent' }).waitFor();
    }
    await page.waitForFunction(() => Number(document.querySelector('#pdo-plot').dataset.points || 0) >= 3);
    bus.control('node-pdo 0x185 07 00 00 09');
    await page.locator('#pdo-values td').filter({ hasText: /^9$/ }).waitFor();
    assert.ok(await page.locator('#pdo-plot canvas').count() > 0);
    await page.click('#pdo-start');
  });

  test('the bus view after all that, saved as a screenshot', async () => {
    await page.evaluate(() => { location.hash = 'bus'; });
    await stateOf(5).filter({ hasText: /^operational$/ }).waitFor();
    await page.locator('tr[data-net="1"][data-node="5"] .emcy').waitFor();
    const file = path.join(shots, 'dashboard.png');
    await page.screenshot({ path: file });
    console.log(`screenshot of the bus view: ${file}`);
  });

  test('works from the keyboard and at tablet width', async () => {
    await page.setViewportSize({ width: 768, height: 1024 });
    await page.evaluate(() => { location.hash = 'bus'; });
    await page.focus('#tab-bus');
    await page.keyboard.press('ArrowRight');
    assert.equal(await page.evaluate(() => location.hash), '#events');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'tab-events');
    await page.keyboard.press('ArrowLeft');
    assert.equal(await page.evaluate(() => location.hash), '#bus');
    // Nothing wider than the window.
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth + 1));
    await page.setViewportSize({ width: 1280, height: 800 });
  });
});
