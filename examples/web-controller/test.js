// The reference controller in a real browser: Debian's chromium, driven by
// playwright-core, against the server running the stand-in agent with a trace.
// Each step's browser events must reach the agent as exactly the events the
// protocol gives for them; whoever the server was not meant for must reach
// nothing.
//
//   node test.js --agent PATH/input-agent-standin [--chromium /usr/bin/chromium]
'use strict';

const { spawn } = require('node:child_process');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const zlib = require('node:zlib');
const { chromium } = require('playwright-core');
const WebSocket = require('ws');

function option(name, fallback) {
  const at = process.argv.indexOf(`--${name}`);
  return at > 0 ? process.argv[at + 1] : fallback;
}

const standin = option('agent', path.join(__dirname, '..', '..', 'build', 'input-agent-standin'));
const browserPath = option('chromium', '/usr/bin/chromium');
const trace = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'web-controller-')), 'trace');
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
let passed = 0;

// The server with its standard output (the address) and its refusals, one
// line each on standard error. Its stand-in has a second display, right of
// the main one (1920×1080), unless told otherwise.
const twoDisplays = { INPUT_AGENT_STANDIN_DISPLAYS: 'side:1920,0,1280,1024,2' };
function startServer(args = [], displays = twoDisplays) {
  const server = spawn(process.execPath, [path.join(__dirname, 'server.js'), '--agent', standin,
                                          '--port', '0', ...args], {
    env: { ...process.env, INPUT_AGENT_STANDIN_TRACE: trace, ...displays },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const errors = [];
  readline.createInterface({ input: server.stderr }).on('line', (line) => errors.push(line));
  const url = new Promise((resolve) => {
    readline.createInterface({ input: server.stdout }).once('line', resolve);
  });
  const exited = new Promise((resolve) => server.on('exit', resolve));
  return { server, url, errors, exited };
}

let seen = 0;
function traceLines() {
  return fs.existsSync(trace) ? fs.readFileSync(trace, 'utf8').split('\n').filter(Boolean) : [];
}

function ok(name) {
  console.log(`ok - ${name}`);
  passed++;
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
  ok(name);
}

// A WebSocket from outside the browser, as any local program could open one;
// resolves to 'open' or the HTTP status it was refused with.
function tryWebSocket(url, protocols, options) {
  return new Promise((resolve) => {
    const socket = new WebSocket(url, protocols, options);
    socket.on('open', () => {
      socket.close();
      resolve('open');
    });
    socket.on('unexpected-response', (request, response) => resolve(response.statusCode));
    socket.on('error', (error) => resolve(error.message));
  });
}

function httpStatus(port, host) {
  return new Promise((resolve, reject) => {
    http.get({ host: '127.0.0.1', port, path: '/', headers: { Host: host } }, (response) => {
      response.resume();
      resolve(response.statusCode);
    }).on('error', reject);
  });
}

// A page from another local origin (another port) trying the server's
// WebSocket without a token, with a guessed one and with the real one.
async function foreignPage(browser, port, realToken) {
  const attacker = http.createServer((request, response) => {
    response.writeHead(200, { 'Content-Type': 'text/html' }).end(`<script>
      window.results = Promise.all([[], ['input-agent', 'token.guessedguessedguessed'],
                                    ['input-agent', 'token.${realToken}']].map((protocols) =>
        new Promise((resolve) => {
          const socket = new WebSocket('ws://127.0.0.1:${port}/', protocols);
          socket.onopen = () => { socket.send('{"type":"key","code":"MetaLeft","down":true}');
                                  resolve('open'); };
          socket.onerror = () => resolve('refused');
        })));
    </script>`);
  });
  await new Promise((resolve) => attacker.listen(0, '127.0.0.1', resolve));
  const page = await browser.newPage();
  await page.goto(`http://127.0.0.1:${attacker.address().port}/`);
  const results = await page.evaluate(() => window.results);
  await page.close();
  attacker.close();
  return results;
}

async function refusals(browser, { url, errors }) {
  const address = new URL(url);
  const port = address.port;
  const realToken = new URLSearchParams(address.hash.slice(1)).get('token');
  const ws = `ws://127.0.0.1:${port}/`;
  const origin = `http://127.0.0.1:${port}`;
  assert.ok(/^[A-Za-z0-9_-]{32}$/.test(realToken), `a token of 192 bits: ${url}`);

  assert.deepEqual(await foreignPage(browser, port, realToken),
                   ['refused', 'refused', 'refused'], 'a page of another origin');
  assert.equal(await httpStatus(port, `evil.example:${port}`), 403, 'a foreign Host, HTTP');
  assert.equal(await httpStatus(port, `127.0.0.1:${port}`), 200, 'this server, HTTP');
  const withToken = ['input-agent', `token.${realToken}`];
  const cases = [
    ['a foreign Host, WebSocket', withToken, { origin, headers: { Host: `evil.example:${port}` } }],
    ['no Origin', withToken, {}],
    ['no token', ['input-agent'], { origin }],
    ['a wrong token', ['input-agent', `token.${realToken.slice(1)}x`], { origin }],
  ];
  for (const [name, protocols, options] of cases) {
    assert.equal(await tryWebSocket(ws, protocols, options), 403, name);
  }
  await sleep(150);
  assert.deepEqual(traceLines(), [], 'nothing reached the agent');
  const foreignOrigin = /a WebSocket from 127.0.0.1: Origin "http:\/\/127.0.0.1:\d+" is not this/;
  const reasons = [
    foreignOrigin, foreignOrigin, foreignOrigin,
    /a request from 127.0.0.1: Host "evil.example:\d+" does not name this server/,
    /a WebSocket from 127.0.0.1: Host "evil.example:\d+" does not name this server/,
    /Origin \(none\) is not this server's/, /: no token$/, /: wrong token$/,
  ];
  assert.equal(errors.length, reasons.length, errors.join('\n'));
  reasons.forEach((reason, i) => assert.match(errors[i], reason));
  assert.ok(errors.every((line) => !line.includes(realToken)), 'no refusal names the token');
  ok('refused: another origin with no, a guessed and the real token; a foreign Host; ' +
     'no Origin; no or a wrong token');
}

// The viewport holds the page's bar and, below it, exactly the main display's
// image at 960×540: so the points the steps use are whole pixels, and
// anything of the bar's over the image would show.
const viewport = { width: 960, height: 572 };

// The page, once it shows the agent's status. It keeps the server's text
// messages to it, from the first, for told().
async function openPage(browser, url, { apple = false, status = 'READY' } = {}) {
  const page = await browser.newPage({ viewport });
  if (apple) {
    await page.addInitScript(() => {
      Object.defineProperty(Navigator.prototype, 'platform', { get: () => 'MacIntel' });
    });
  }
  await page.addInitScript(() => {
    window.told = [];
    window.WebSocket = class extends WebSocket {
      constructor(...args) {
        super(...args);
        this.addEventListener('message', ({ data }) => {
          if (typeof data === 'string') window.told.push(JSON.parse(data));
        });
      }
    };
  });
  await page.goto(url);
  await page.waitForSelector(`#status[data-status="${status}"]`);
  await page.waitForSelector('#display:not([hidden])');
  return page;
}

const told = (page) => page.evaluate(() => window.told);

// The viewport's point at fractions of the image of the display.
async function at(page, x, y) {
  const box = await page.locator('#screen').boundingBox();
  return [box.x + x * box.width, box.y + y * box.height];
}

// The page's bar is beside the image, not over it, and the image is as large
// as fits, in its display's proportions, centred.
async function checkLayout(page, [width, height]) {
  const [image, surface] = await Promise.all(
      ['#screen', '#surface'].map((s) => page.locator(s).boundingBox()));
  const overlap = (a, b) => a.x < b.x + b.width && b.x < a.x + a.width &&
                            a.y < b.y + b.height && b.y < a.y + a.height;
  // Each of the bar's badges and controls, those shown (a hidden one has no box).
  for (const part of await page.locator('#bar > *').all()) {
    const box = await part.boundingBox();
    assert.ok(!box || !overlap(box, image), `#${await part.getAttribute('id')} ` +
              `${JSON.stringify(box)} is over the image ${JSON.stringify(image)}`);
  }
  const near = (a, b) => Math.abs(a - b) <= 1;
  assert.ok(near(image.x + image.width / 2, surface.x + surface.width / 2) &&
            near(image.y + image.height / 2, surface.y + surface.height / 2),
            `the image ${JSON.stringify(image)} is centred in ${JSON.stringify(surface)}`);
  assert.ok(near(image.width, surface.width) || near(image.height, surface.height),
            'the image is as large as fits');
  assert.ok(near(image.width, image.height * width / height), 'in the display\'s proportions');
}

// The stand-in's two displays are listed; the chosen one is shown and
// controlled, its centre at the image's centre. The image is centred across
// (the second display's is narrower than the window) and down (the main
// display's in a taller window).
async function displaySteps(page) {
  await checkLayout(page, [1920, 1080]);
  assert.deepEqual(await page.$$eval('#display option', (options) => options.map((o) => o.value)),
                   ['main', 'side'], 'both displays are listed, the main one first');
  await page.selectOption('#display', 'side');
  await checkLayout(page, [1280, 1024]);
  await step('a click at the centre of the second display\'s image lands at its centre', [
    'mouse 5 2559.5 511.5 0 0x0', 'mouse 1 2559.5 511.5 0 0x0 1', 'mouse 2 2559.5 511.5 0 0x0 1',
  ], async () => page.mouse.click(...await at(page, 0.5, 0.5)));
  await page.selectOption('#display', 'main');
  await page.setViewportSize({ width: viewport.width, height: viewport.height + 200 });
  await checkLayout(page, [1920, 1080]);
  await page.setViewportSize(viewport);
  ok('the picker lists both displays; the bar is beside the image, which is centred and fits');
}

// Pointer lock, with the box ticked. Chromium reports movementX/Y under the
// lock for the mouse events CDP dispatches (Input.dispatchMouseEvent, as
// page.mouse sends them): the differences between their points. A headless
// Chromium does not end the lock on Escape itself but passes the key to the
// page, which ends it.
async function pointerLockSteps(page, centre) {
  const [x, y] = centre;
  await page.check('#lock-on-click');
  await step('with the box ticked, a click on the image takes the pointer lock, pressing nothing',
             ['mouse 5 959.5 539.5 0 0x0'], () => page.mouse.click(x, y));
  await page.waitForFunction(() => document.pointerLockElement?.id === 'screen');
  assert.equal(await page.textContent('#locked'), 'pointer locked: Esc releases it');
  await checkLayout(page, [1920, 1080]);

  await step('moves under the lock reach the agent as relative motion, by the same deltas',
             ['motion 5 10 5 0 0x0', 'motion 5 -30 20 0 0x0'], async () => {
               await page.mouse.move(x + 10, y + 5);
               await page.mouse.move(x - 20, y + 25);
             });
  await step('buttons under the lock press where the moves took the pointer; a drag drags', [
    'mouse 1 939.5 564.5 0 0x0 1', 'motion 6 5 0 0 0x0', 'mouse 2 944.5 564.5 0 0x0 1',
  ], async () => {
    await page.mouse.down();
    await page.mouse.move(x - 15, y + 25);
    await page.mouse.up();
  });
  await step('the tracked point stays on the display', [
    'motion 5 1000 0 0 0x0', 'mouse 3 1919 564.5 1 0x0 1', 'mouse 4 1919 564.5 1 0x0 1',
  ], async () => {
    await page.mouse.move(x + 985, y + 25);
    await page.mouse.click(x + 985, y + 25, { button: 'right' });
  });

  await step('Escape leaves the lock and reaches nothing, held on and repeating neither', [],
             async () => {
               await page.keyboard.down('Escape');
               await page.waitForFunction(() => document.pointerLockElement === null);
               await page.keyboard.down('Escape');  // a repeat
               await page.keyboard.up('Escape');
             });
  assert.equal(await page.isChecked('#lock-on-click'), false, 'the box is unticked');
  assert.ok(await page.isHidden('#locked'), 'the bar no longer shows the lock');
  await step('the next click is an ordinary one again', [
    'mouse 5 959.5 539.5 0 0x0', 'mouse 1 959.5 539.5 0 0x0 1', 'mouse 2 959.5 539.5 0 0x0 1',
  ], () => page.mouse.click(x, y));
  ok('pointer lock: taken by a click, relative moves, buttons where they took the pointer, ' +
     'left by Escape');
}

async function pageSteps(browser, url) {
  const page = await openPage(browser, url);
  await displaySteps(page);
  // The stand-in's main display is 1920×1080: fraction f of the image is
  // f × 1919 across and f × 1079 down.
  await step('typing with Shift', [
    'key 56 down 0x20000', 'key 0 down 0x20000', 'key 0 up 0x20000', 'key 56 up 0x0',
  ], async () => {
    await page.keyboard.down('Shift');
    await page.keyboard.press('KeyA');
    await page.keyboard.up('Shift');
  });

  const centre = await at(page, 0.5, 0.5);
  await step('a click at the centre of the image', [
    'mouse 5 959.5 539.5 0 0x0', 'mouse 1 959.5 539.5 0 0x0 1', 'mouse 2 959.5 539.5 0 0x0 1',
  ], () => page.mouse.click(...centre));

  await step('a drag', [
    'mouse 5 479.75 269.75 0 0x0', 'mouse 1 479.75 269.75 0 0x0 1',
    'mouse 6 959.5 539.5 0 0x0', 'mouse 6 1439.25 809.25 0 0x0',
    'mouse 2 1439.25 809.25 0 0x0 1',
  ], async () => {
    await page.mouse.move(...await at(page, 0.25, 0.25));
    await page.mouse.down();
    await page.mouse.move(...await at(page, 0.75, 0.75), { steps: 2 });
    await page.mouse.up();
  });

  await step('a right click', [
    'mouse 5 959.5 539.5 0 0x0', 'mouse 3 959.5 539.5 1 0x0 1', 'mouse 4 959.5 539.5 1 0x0 1',
  ], () => page.mouse.click(...centre, { button: 'right' }));

  await pointerLockSteps(page, centre);

  await step('a wheel turn down', ['wheel -100'], () => page.mouse.wheel(0, 100));

  await step('sideways, and both axes in one command', ['wheel 0 -150', 'wheel -100 50'],
             async () => {
               await page.mouse.wheel(150, 0);
               await page.mouse.wheel(-50, 100);
             });

  const paste = (text) => page.evaluate((text) => {
    const data = new DataTransfer();
    data.setData('text/plain', text);
    document.getElementById('surface').dispatchEvent(
        new ClipboardEvent('paste', { clipboardData: data, bubbles: true }));
  }, text);
  await step('a paste is typed as text, in parts whose lines the agent takes',
             ['text 0x61', 'text 0xe9', 'text 0x1f600', 'text 0xa', ...Array(999).fill('text 0x71')],
             () => paste('aé😀\n' + 'q'.repeat(997) + 'qq'));
  await step('a paste with lone surrogates types the rest, each of them as U+FFFD',
             ['text 0x61', 'text 0xfffd', 'text 0x62', 'text 0x1f600', 'text 0xfffd'],
             () => paste('a\ud800b😀\udc00'));

  await step('an input method\'s composition is typed when it ends, and the keys it took are not',
             ['text 0x65e5', 'text 0x672c'], async () => {
               const browserInput = await page.context().newCDPSession(page);
               await page.evaluate(() => document.getElementById('typing').dispatchEvent(
                   new KeyboardEvent('keydown', { code: 'KeyN', key: 'Process', isComposing: true,
                                                  bubbles: true })));
               for (const text of ['に', 'にほ', 'にほん']) {
                 await browserInput.send('Input.imeSetComposition',
                                         { text, selectionStart: text.length,
                                           selectionEnd: text.length });
               }
               await browserInput.send('Input.insertText', { text: '日本' });
               await browserInput.detach();
             });

  await step('text the browser inserts without keys (an emoji picker)', ['text 0x1f44d'],
             () => page.keyboard.insertText('👍'));

  await step('a wheel turn over the agent\'s limit goes in parts',
             ['wheel -1200', 'wheel -1200', 'wheel -600', 'wheel 1200', 'wheel 1'],
             async () => {
               await page.mouse.wheel(0, 3000);
               await page.mouse.wheel(0, -1201);
             });

  await step('a cancelled pointer lets go of its button', [
    'mouse 5 959.5 539.5 0 0x0', 'mouse 1 959.5 539.5 0 0x0 1', 'mouse 2 959.5 539.5 0 0x0 1',
    'mouse 5 959.5 539.5 0 0x0',
  ], async () => {
    await page.mouse.move(...centre);
    await page.mouse.down();
    await page.evaluate(() => document.getElementById('screen').dispatchEvent(
        new PointerEvent('pointercancel', { pointerId: 1, bubbles: true })));
    await page.mouse.up();  // the browser's own release comes later: a move, no second up
  });

  await step('losing focus lets go of what is held', [
    'key 59 down 0x40000', 'key 59 up 0x0',
  ], async () => {
    await page.keyboard.down('Control');
    await page.evaluate(() => window.dispatchEvent(new Event('blur')));
    await page.keyboard.up('Control');  // the page owes nobody this release
  });

  // A second page takes over: the agent lets go of what the first held, the
  // first is told why and closed, and closing it afterwards sends nothing.
  await step('the first page holds Shift', ['key 56 down 0x20000'],
             () => page.keyboard.down('Shift'));
  let second;
  await step('a second page takes control, and what the first held goes up', ['key 56 up 0x0'],
             async () => { second = await openPage(browser, url, { apple: true }); });
  await page.waitForSelector('#status[data-status="CLOSED"]');
  assert.match(await page.textContent('#status'), /another page took control/);
  await step('closing the page that lost control sends nothing', [], () => page.close());

  await step('Command+C, then Command up on a Mac keyboard leaves nothing held', [
    'key 55 down 0x100000', 'key 8 down 0x100000', 'key 8 up 0x100000', 'key 55 up 0x0',
  ], async () => {
    await second.keyboard.down('Meta');
    await second.keyboard.down('KeyC');
    await second.keyboard.up('Meta');  // macOS reports no keyup for C
    await second.keyboard.up('KeyC');  // as if it had: the page sends nothing more
  });

  await step('closing the controlling page lets go of what is held', [
    'mouse 5 0 0 0 0x0', 'key 56 down 0x20000', 'mouse 1 0 0 0 0x20000 1', 'key 56 up 0x0',
    'mouse 2 0 0 0 0x0 1',
  ], async () => {
    await second.mouse.move(...await at(second, 0, 0));
    await second.keyboard.down('Shift');
    await second.mouse.down();
    await sleep(150);  // let the presses reach the agent before the page goes
    await second.close();
  });
}

// The agent the server runs: its child without arguments (the display
// listings it runs have --displays).
function agentOf(server) {
  for (const pid of fs.readdirSync('/proc').filter((entry) => /^\d+$/.test(entry))) {
    try {
      const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
      const parent = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
      const args = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').split('\0').filter(Boolean);
      if (parent === server.pid && args.length === 1) return Number(pid);
    } catch {
      // a process that has gone meanwhile
    }
  }
  throw new Error(`no agent under the server ${server.pid}`);
}

// An agent that ends after READY: its session ending (the stand-in's ends
// after two commands, with status 2), or a kill. The page says so and why,
// a page that connects later is never told READY, and the restart button
// starts an agent that takes commands.
async function agentEnds(browser) {
  const running = startServer([], { ...twoDisplays, INPUT_AGENT_STANDIN_SESSION_COMMANDS: '2' });
  const url = await running.url;
  try {
    const page = await openPage(browser, url);
    await step('the session ends at the third command; what follows goes nowhere', [
      'key 0 down 0x0', 'key 0 up 0x0', 'key 11 down 0x0', 'key 11 up 0x0',
    ], async () => {
      await page.keyboard.press('KeyA');
      await page.keyboard.down('KeyB');
      await page.waitForSelector('#status[data-status="ENDED"]');
      await page.keyboard.up('KeyB');
      await page.keyboard.press('KeyC');
    });
    const ended = 'agent ended: its session ended (the desktop went away) (status 2)';
    assert.equal(await page.textContent('#status'), ended);
    assert.ok(await page.isVisible('#restart'), 'the bar offers to start the agent again');
    await checkLayout(page, [1920, 1080]);

    const later = await openPage(browser, url, { status: 'ENDED' });
    assert.equal(await later.textContent('#status'), ended);
    assert.ok((await told(later)).every((message) => message.status !== 'READY'),
              'a page that connects later is not told READY');
    await page.close();

    await later.click('#restart');
    await later.waitForSelector('#status[data-status="READY"]');
    assert.ok(await later.isHidden('#restart'), 'a running agent is not offered again');
    const statuses = (await told(later)).filter((message) => message.status)
        .map((message) => message.status);
    assert.deepEqual(statuses, ['ENDED', 'STARTING', 'READY'],
                     'the new agent\'s status line, as at start');
    await step('the agent started again takes commands', ['key 8 down 0x0', 'key 8 up 0x0'],
               () => later.keyboard.press('KeyC'));

    await step('a killed agent posts nothing more', [], async () => {
      process.kill(agentOf(running.server), 'SIGKILL');
      await later.waitForSelector('#status[data-status="ENDED"]');
      await later.keyboard.press('KeyD');
    });
    assert.equal(await later.textContent('#status'), 'agent ended by SIGKILL');
    await later.close();
    assert.deepEqual(running.errors, [], 'nothing refused');
  } finally {
    running.server.kill('SIGTERM');
    await running.exited;
  }
  ok('an agent that ended: shown with its status or signal, never READY to a later page, ' +
     'started again from the bar');
}

// The server's resident memory, and its peak, in KiB.
function memory(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  const kib = (name) => Number(new RegExp(`^${name}:\\s+(\\d+) kB`, 'm').exec(status)[1]);
  return { now: kib('VmRSS'), peak: kib('VmHWM') };
}

// A stopped agent (as one waiting on a busy display server) under a flood of
// moves: the server's memory stays bounded, and once the agent goes on it
// gets the last position, all the relative motion, every key in order, and
// the release sent when the controlling page closes among the first lines it
// reads, not after the moves. The flood comes from a WebSocket of the test's
// own, with the page's commands: a page's own events would take minutes to
// make a million moves.
async function stoppedAgent() {
  const running = startServer();
  const url = new URL(await running.url);
  const token = new URLSearchParams(url.hash.slice(1)).get('token');
  const socket = new WebSocket(`ws://127.0.0.1:${url.port}/`, ['input-agent', `token.${token}`],
                               { origin: `http://127.0.0.1:${url.port}` });
  const told = [];
  socket.on('message', (data, binary) => binary || told.push(JSON.parse(data)));
  const until = async (what, check) => {
    const deadline = Date.now() + 60000;
    while (!check() && Date.now() < deadline) await sleep(20);
    assert.ok(check(), what);
  };
  const send = (command) => socket.send(JSON.stringify(command));
  try {
    await until('the agent is ready and the displays listed',
                () => told.some((message) => message.status === 'READY') &&
                      told.some((message) => message.displays));
    await step('Shift held', ['key 56 down 0x20000'],
               () => send({ type: 'key', code: 'ShiftLeft', down: true }));
    const agent = agentOf(running.server);
    process.kill(agent, 'SIGSTOP');
    const before = memory(running.server.pid).now;

    // Relative moves, as under pointer lock, then absolute ones across the
    // display with a key pressed at each quarter, then one to its centre;
    // sent no faster than the server reads them, as a browser would.
    const relative = 200000, absolute = 1000000;
    const keys = { KeyQ: 12, KeyW: 13, KeyE: 14, KeyR: 15 };
    const codes = Object.keys(keys);
    for (let i = 0; i < relative + absolute; i++) {
      if (i < relative) {
        send({ type: 'move', movementX: 1, movementY: -1 });
      } else {
        const n = i - relative;
        if (n % (absolute / codes.length) === 0) {
          const code = codes[n / (absolute / codes.length)];
          send({ type: 'key', code, down: true });
          send({ type: 'key', code, down: false });
        }
        send({ type: 'move', x: (n % 1000) / 1000, y: (n >> 10) / 1000, display: 'main' });
      }
      while (socket.bufferedAmount > 1024 * 1024) await sleep(1);
    }
    send({ type: 'move', x: 0.5, y: 0.5, display: 'main' });
    // The server answers the choice of display once it has read all before it.
    send({ show: 'main' });
    await until('the server read the flood', () => told.some((message) => message.showing));
    const grown = memory(running.server.pid).peak - before;
    assert.ok(grown < 64 * 1024, `the server grew by ${grown} KiB`);
    socket.close();
    await sleep(500);  // the server takes the closing
    process.kill(agent, 'SIGCONT');

    const release = 'key 56 up 0x0';
    await until('the release', () => traceLines().slice(seen).includes(release));
    await sleep(150);
    const added = traceLines().slice(seen);
    seen += added.length;
    assert.deepEqual(added.filter((line) => line.startsWith('key ')), [
      ...Object.values(keys).flatMap((key) => [`key ${key} down 0x20000`, `key ${key} up 0x20000`]),
      release,
    ], 'every key, in order, then the release');
    assert.equal(added.findLast((line) => line.startsWith('mouse ')),
                 'mouse 5 959.5 539.5 0 0x20000', 'the last position');
    const motion = added.filter((line) => line.startsWith('motion ')).map((line) => line.split(' '))
        .reduce(([x, y], fields) => [x + Number(fields[2]), y + Number(fields[3])], [0, 0]);
    assert.deepEqual(motion, [relative, -relative], 'all the relative motion');
    assert.ok(added.indexOf(release) < 5000,
              `the release is line ${added.indexOf(release)} of ${added.length}`);
    assert.deepEqual(running.errors, [], 'nothing refused');
  } finally {
    socket.terminate();
    running.server.kill('SIGTERM');
    await running.exited;
  }
  ok('a stopped agent under a flood of moves: the server\'s memory bounded; then the last ' +
     'position, all the relative motion, every key in order, and the release among the first');
}

// Frames of an Xvfb's screen, whose two displays (as the stand-in lists them)
// split it: the main one the left 400 columns, black, the other the right 240,
// white. One frame of the main display when a page takes control, one of the
// other when the page picks it, then one per change, none while the screen
// stays as it was.
async function frames() {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'web-controller-frames-'));
  const xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '640x480x24', '-fbdir', work,
                              '-nolisten', 'tcp', '-noreset'],
                     { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  const display = await new Promise((resolve) => {
    readline.createInterface({ input: xvfb.stdio[3] }).once('line', (n) => resolve(`:${n}`));
  });
  const root = (...args) => new Promise((resolve) => {
    spawn('xsetroot', args, { env: { ...process.env, DISPLAY: display } }).on('exit', resolve);
  });
  // One row, tiled down the screen: a bit for each column, set from column
  // 400; a byte a line, as Xlib reads lines of at most 255 characters.
  const bitmap = path.join(work, 'halves.xbm');
  const bytes = Array.from({ length: 80 }, (_, i) => (i < 50 ? '0x00' : '0xff'));
  fs.writeFileSync(bitmap, '#define halves_width 640\n#define halves_height 1\n' +
                           `static char halves_bits[] = {\n${bytes.join(',\n')}\n};\n`);
  await root('-bitmap', bitmap, '-fg', 'white', '-bg', 'black');
  const running = startServer(['--framebuffer', path.join(work, 'Xvfb_screen0')], {
    INPUT_AGENT_STANDIN_DISPLAY: '0,0,400,480',
    INPUT_AGENT_STANDIN_DISPLAYS: 'side:400,0,240,480,1',
  });
  const url = new URL(await running.url);
  const token = new URLSearchParams(url.hash.slice(1)).get('token');
  const socket = new WebSocket(`ws://127.0.0.1:${url.port}/`, ['input-agent', `token.${token}`],
                               { origin: `http://127.0.0.1:${url.port}` });
  // Each frame as its size and the colours in it.
  const received = [];
  socket.on('message', (data, binary) => {
    if (!binary) return;
    const pixels = zlib.inflateSync(data.subarray(12));
    const colours = new Set();
    for (let i = 0; i < pixels.length; i += 4) colours.add(pixels.readUInt32LE(i) & 0xffffff);
    received.push(`${data.readUInt32LE(0)}x${data.readUInt32LE(4)} ` +
                  [...colours].map((colour) => colour.toString(16)).join(' '));
  });
  // Frames are encoded at the lowest priority, so on a busy machine one
  // may take a while; then a second passes with nothing more.
  const frameCount = async (count) => {
    const deadline = Date.now() + 10000;
    while (received.length < count && Date.now() < deadline) await sleep(20);
    await sleep(1000);
  };
  try {
    await frameCount(1);
    assert.deepEqual(received, ['400x480 0'], 'one frame of the main display');
    socket.send('{"show":"side"}');
    await frameCount(2);
    assert.deepEqual(received, ['400x480 0', '240x480 ffffff'], 'one of the display picked');
    await root('-solid', 'red');
    await frameCount(3);
    assert.deepEqual(received, ['400x480 0', '240x480 ffffff', '240x480 ff0000'],
                     'one more after a change');
  } finally {
    socket.close();
    running.server.kill('SIGTERM');
    xvfb.kill();
    await running.exited;
    fs.rmSync(work, { recursive: true, force: true });
  }
  ok('frames: one of the main display at the start, one of the display picked, ' +
     'then one per change of the screen');
}

// Start-up faults: each a line on standard error and an exit status.
async function startUpFaults() {
  const cases = [
    ['a wrong --agent path', ['--agent', '/nonexistent/input-agent'], 1, /cannot start the agent/],
    ['another address without --allow-remote', ['--host', '0.0.0.0'], 2, /not a loopback/],
    ['a short --token', ['--token', 'short'], 2, /at least 22 characters/],
  ];
  for (const [name, args, status, message] of cases) {
    const { errors, exited } = startServer(args);
    assert.equal(await exited, status, name);
    assert.equal(errors.length, 1, `${name}: ${errors.join('\n')}`);
    assert.match(errors[0], message, name);
  }
  ok('start-up faults: a wrong agent path, another address, a short token');
}

// --allow-host admits a name on this server's port, or with a port of its
// own: an SSH tunnel's local end on another port.
async function allowedHosts() {
  const running = startServer(['--allow-host', '127.0.0.1:9000', '--allow-host', 'tunnel.example']);
  const address = new URL(await running.url);
  const port = address.port;
  const token = new URLSearchParams(address.hash.slice(1)).get('token');
  try {
    for (const [host, status] of [['127.0.0.1:9000', 200], [`tunnel.example:${port}`, 200],
                                  ['127.0.0.1:9001', 403], ['tunnel.example:9000', 403]]) {
      assert.equal(await httpStatus(port, host), status, `Host ${host}`);
    }
    const tunnel = 'http://127.0.0.1:9000';
    assert.equal(await tryWebSocket(`ws://127.0.0.1:${port}/`, ['input-agent', `token.${token}`],
                                    { origin: tunnel, headers: { Host: '127.0.0.1:9000' } }),
                 'open', 'a WebSocket through the tunnel');
  } finally {
    running.server.kill('SIGTERM');
    await running.exited;
  }
  ok('--allow-host: a name on this port, or with a port of its own (a tunnel)');
}

async function main() {
  await startUpFaults();
  await allowedHosts();
  await frames();
  const running = startServer();
  running.url = await running.url;
  const browser = await chromium.launch({
    executablePath: browserPath,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  try {
    await refusals(browser, running);
    running.errors.length = 0;
    await pageSteps(browser, running.url);
    assert.deepEqual(running.errors, [], 'the real pages were never refused');
    await agentEnds(browser);
  } finally {
    await browser.close();
    running.server.kill('SIGTERM');
  }
  await stoppedAgent();
  console.log(`web controller: ${passed} passed, 0 failed`);
}

main().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
