// The reference controller in a real browser: Debian's chromium, driven by
// playwright-core, against the server running the stand-in agent with a trace.
// Each step's browser events must reach the agent as exactly the events the
// protocol gives for them.
//
//   node test.js --agent PATH/input-agent-standin [--chromium /usr/bin/chromium]
'use strict';

const { spawn } = require('node:child_process');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { chromium } = require('playwright-core');

function option(name, fallback) {
  const at = process.argv.indexOf(`--${name}`);
  return at > 0 ? process.argv[at + 1] : fallback;
}

const standin = option('agent', path.join(__dirname, '..', '..', 'build', 'input-agent-standin'));
const browserPath = option('chromium', '/usr/bin/chromium');
const trace = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'web-controller-')), 'trace');
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function startServer() {
  const server = spawn(process.execPath, [path.join(__dirname, 'server.js'), '--agent', standin,
                                          '--port', '0'], {
    env: { ...process.env, INPUT_AGENT_STANDIN_TRACE: trace },
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  const url = new Promise((resolve) => {
    readline.createInterface({ input: server.stdout }).once('line', resolve);
  });
  return { server, url };
}

let seen = 0;
function traceLines() {
  return fs.existsSync(trace) ? fs.readFileSync(trace, 'utf8').split('\n').filter(Boolean) : [];
}

// The trace lines a step adds: waits for as many as expected, then a little
// longer so that an unexpected extra one shows too.
async function step(name, expected, act) {
  await act();
  const deadline = Date.now() + 10000;
  while (traceLines().length < seen + expected.length && Date.now() < deadline) await sleep(10);
  await sleep(150);
  const added = traceLines().slice(seen);
  seen += added.length;
  assert.deepEqual(added, expected, name);
  console.log(`ok - ${name}`);
}

async function main() {
  const { server, url } = startServer();
  const browser = await chromium.launch({
    executablePath: browserPath,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  try {
    const page = await browser.newPage({ viewport: { width: 800, height: 600 } });
    await page.goto(await url);
    await page.waitForSelector('#status[data-status="READY"]');

    // The stand-in's display is 1920×1080: fraction f of the surface is
    // f × 1919 across and f × 1079 down.
    await step('typing with Shift', [
      'key 56 down 0x20000', 'key 0 down 0x20000', 'key 0 up 0x20000', 'key 56 up 0x0',
    ], async () => {
      await page.keyboard.down('Shift');
      await page.keyboard.press('KeyA');
      await page.keyboard.up('Shift');
    });

    await step('a click at the centre of the surface', [
      'mouse 5 959.5 539.5 0 0x0', 'mouse 1 959.5 539.5 0 0x0', 'mouse 2 959.5 539.5 0 0x0',
    ], () => page.mouse.click(400, 300));

    await step('a drag', [
      'mouse 5 479.75 269.75 0 0x0', 'mouse 1 479.75 269.75 0 0x0',
      'mouse 6 959.5 539.5 0 0x0', 'mouse 6 1439.25 809.25 0 0x0',
      'mouse 2 1439.25 809.25 0 0x0',
    ], async () => {
      await page.mouse.move(200, 150);
      await page.mouse.down();
      await page.mouse.move(600, 450, { steps: 2 });
      await page.mouse.up();
    });

    await step('a right click', [
      'mouse 5 959.5 539.5 0 0x0', 'mouse 3 959.5 539.5 1 0x0', 'mouse 4 959.5 539.5 1 0x0',
    ], () => page.mouse.click(400, 300, { button: 'right' }));

    await step('a wheel turn down', ['wheel -100'], () => page.mouse.wheel(0, 100));

    await step('losing focus lets go of what is held', [
      'key 59 down 0x40000', 'key 59 up 0x0',
    ], async () => {
      await page.keyboard.down('Control');
      await page.evaluate(() => window.dispatchEvent(new Event('blur')));
    });

    await step('closing the page lets go of what is held', [
      'key 56 down 0x20000', 'mouse 1 959.5 539.5 0 0x20000', 'key 56 up 0x0',
      'mouse 2 959.5 539.5 0 0x0',
    ], async () => {
      await page.keyboard.down('Shift');
      await page.mouse.down();
      await sleep(150);  // let the presses reach the agent before the page goes
      await page.close();
    });
  } finally {
    await browser.close();
    server.kill('SIGTERM');
  }
  console.log('web controller: 7 passed, 0 failed');
}

main().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
