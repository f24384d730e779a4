// A reference controller for input-agent. It serves one page and a WebSocket,
// starts the agent with pipes, and writes each command the page sends to the
// agent's standard input as one line. It adds no protocol of its own beside
// the page's choice of display and its request to start the agent again once
// it has ended, and checks nothing the agent checks itself.
//
//   node server.js [--agent PATH] [--port 8080] [--host 127.0.0.1]
//                  [--allow-remote] [--allow-host NAME]... [--token TOKEN]
//                  [--framebuffer FILE]
//
// Whoever can use the WebSocket drives this desktop, so only the page this
// server served gets it: every request must name this server in its Host
// header (which defeats DNS rebinding), every WebSocket must come from this
// server's origin (browsers let any page open one) and carry the secret
// token printed at start (which a page elsewhere cannot know). One page
// controls at a time.
//
// --framebuffer names the screen file of an Xvfb started with -fbdir; the
// controlling page then shows that display, a few frames a second. The
// agent lists the displays (input-agent --displays); the page picks one,
// and the frames are of that display's rectangle of the screen.
'use strict';

const { execFile, fork, spawn } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { WebSocketServer } = require('ws');

const usage = 'usage: node server.js [--agent PATH] [--port 8080] [--host 127.0.0.1] ' +
    '[--allow-remote] [--allow-host NAME]... [--token TOKEN] [--framebuffer FILE]';

function fail(message, status = 1) {
  console.error(`server: ${message}`);
  process.exit(status);
}

function parseOptions(args) {
  const options = {
    agent: path.join(__dirname, '..', '..', 'build', 'input-agent'),
    port: 8080, host: '127.0.0.1', allowRemote: false, allowHosts: [], token: null,
    framebuffer: null,
  };
  const valued = { '--agent': 'agent', '--port': 'port', '--host': 'host', '--token': 'token',
                   '--framebuffer': 'framebuffer' };
  for (let i = 0; i < args.length; i++) {
    const name = args[i];
    if (name === '--allow-remote') {
      options.allowRemote = true;
    } else if (name === '--allow-host' && i + 1 < args.length) {
      options.allowHosts.push(args[++i].toLowerCase());
    } else if (valued[name] && i + 1 < args.length) {
      options[valued[name]] = args[++i];
    } else {
      fail(`unknown or incomplete option ${JSON.stringify(name)}\n${usage}`, 2);
    }
  }
  options.port = Number(options.port);
  if (!Number.isInteger(options.port) || options.port < 0 || options.port > 65535) {
    fail('--port takes a number from 0 to 65535', 2);
  }
  // 128 bits at least: 22 characters of base64url, or 32 hexadecimal digits.
  if (options.token !== null && !/^[A-Za-z0-9_-]{22,}$/.test(options.token)) {
    fail('--token takes at least 22 characters from A-Z a-z 0-9 - _', 2);
  }
  return options;
}

function isLoopback(host) {
  return host === 'localhost' || host === '::1' || (net.isIPv4(host) && host.startsWith('127.'));
}

const options = parseOptions(process.argv.slice(2));
if (!isLoopback(options.host) && !options.allowRemote) {
  fail(`--host ${options.host} is not a loopback address: anyone who can reach it could try ` +
       'to drive this desktop. Add --allow-remote to listen there anyway, or reach the loopback ' +
       'port through an SSH tunnel (see docs/web-controller.md).', 2);
}
const token = options.token ?? crypto.randomBytes(24).toString('base64url');
const page = fs.readFileSync(path.join(__dirname, 'index.html'));

// What a refused client sent is quoted, bounded, never the token.
function quote(value) {
  return value === undefined ? '(none)' : JSON.stringify(String(value).slice(0, 200));
}

function refuse(what, request, reason) {
  console.error(`server: refused ${what} from ${request.socket.remoteAddress}: ${reason}`);
}

// The agent, started with the server, and again when the controlling page
// asks once it has ended. The page is told its status line ("READY", or
// "ACCESSIBILITY_REQUIRED" when it may not post input: it then exits with 1),
// and once it has ended, how: {"status":"ENDED"} with its exit status as
// `code` (2: its session ended), the `signal` that ended it (a kill, a
// crash), or the `error` that kept it from starting. Whatever is sent to an
// agent that has ended goes nowhere, so it is never reported READY.
let agent = null;
let status = null;  // what the page is told of the agent, as sent
let ended = false;

function tell(message) {
  status = JSON.stringify(message);
  controller?.send(status);
}

function startAgent() {
  const first = agent === null;
  const started = spawn(options.agent, [], { stdio: ['pipe', 'pipe', 'inherit'] });
  agent = started;
  ended = false;
  blocked = false;
  tell({ status: 'STARTING' });
  let failure;
  started.on('error', (error) => {
    // Started again, an agent that cannot start leaves the server serving.
    if (first) fail(`cannot start the agent ${options.agent}: ${error.message}`);
    failure = `cannot start the agent: ${error.message}`;
  });
  readline.createInterface({ input: started.stdout })
      .once('line', (line) => tell({ status: line }));
  // 'close' rather than 'exit': it comes after the status line, read from the
  // same pipe, so an agent that has ended is never reported READY after it.
  started.on('close', (code, signal) => {
    ended = true;
    letGoOfWaiting();
    tell(failure ? { status: 'ENDED', error: failure }
                 : signal ? { status: 'ENDED', signal } : { status: 'ENDED', code });
  });
  started.stdin.on('error', () => {});  // the agent is gone; commands go nowhere
  started.stdin.on('drain', () => {
    if (started === agent) passWaiting();
  });
}

// Backpressure. An agent that reads slowly or not at all (one waiting on a
// busy display server, or stopped) fills its pipe; what the page sends
// meanwhile waits here rather than in the pipe's buffer, bounded, so that
// it neither grows without end nor replays later as stale input. Moves are
// coalesced while they wait: an absolute move replaces the one just before
// it, a relative one is added to it (up to the agent's 10000 pixels an axis),
// so no motion is lost; keys, buttons, text and releases are kept, in order.
// So a release waits behind no more than one move per command it follows.
// Beyond waitingLimit characters of them, the page is not read until the
// agent has caught up.
const waitingLimit = 1024 * 1024;
const movementLimit = 10000;
let blocked = false;  // the pipe took the last write only into its buffer
let waiting = [];
let waitingSize = 0;
let lastWaiting = null;  // the last waiting command's kind of move, as moveKind gives it

// A move's kind, parsed only while the agent is behind: 'absolute', its
// movement {dx, dy} when relative, or null for any other command and for a
// move the agent drops (its movement not numbers within bounds).
function moveKind(text) {
  if (!text.startsWith('{"type":"move",')) return null;
  let move;
  try {
    move = JSON.parse(text);
  } catch {
    return null;
  }
  if (move.type !== 'move') return null;
  if (move.x !== undefined || move.y !== undefined) return 'absolute';
  if (move.movementX === undefined && move.movementY === undefined) return null;
  const { movementX: dx = 0, movementY: dy = 0 } = move;
  const usable = (value) => typeof value === 'number' && Math.abs(value) <= movementLimit;
  return usable(dx) && usable(dy) ? { dx, dy } : null;
}

function wait(text) {
  const kind = moveKind(text);
  const last = lastWaiting;
  if (kind === 'absolute' && last === 'absolute') return replaceLastWaiting(text, kind);
  if (kind?.dx !== undefined && last?.dx !== undefined) {
    const dx = last.dx + kind.dx, dy = last.dy + kind.dy;
    if (Math.abs(dx) <= movementLimit && Math.abs(dy) <= movementLimit) {
      const sum = JSON.stringify({ type: 'move', movementX: dx, movementY: dy });
      return replaceLastWaiting(sum, { dx, dy });
    }
  }
  waiting.push(text);
  waitingSize += text.length;
  lastWaiting = kind;
  if (waitingSize > waitingLimit) controller?.pause();
}

function replaceLastWaiting(text, kind) {
  waitingSize += text.length - waiting[waiting.length - 1].length;
  waiting[waiting.length - 1] = text;
  lastWaiting = kind;
}

// The agent has taken what its pipe held: what waited goes, in one write.
function passWaiting() {
  blocked = false;
  if (!waiting.length) return;
  const lines = waiting.join('\n') + '\n';
  letGoOfWaiting();
  blocked = !agent.stdin.write(lines);
}

function letGoOfWaiting() {
  waiting = [];
  waitingSize = 0;
  lastWaiting = null;
  controller?.resume();
}

// One WebSocket message is one command, one line. A line break inside a
// message would make it two lines, so such a message is not passed on.
function command(text) {
  if (/[\r\n]/.test(text) || ended) return;
  if (blocked) return wait(text);
  blocked = !agent.stdin.write(text + '\n');
}

// The displays, as the agent lists them with --displays (one JSON object a
// line, the main display first), run as the agent is. An agent that lists
// none, or not within 5 seconds (a display server that does not answer),
// leaves the page the main display, shown whole; one older than --displays
// reads commands instead, until its input ends.
function listDisplays(done) {
  const listing = execFile(options.agent, ['--displays'], { timeout: 5000 }, (error, stdout) => {
    const list = [];
    for (const line of error ? [] : stdout.split('\n')) {
      try {
        const display = JSON.parse(line);
        if (typeof display?.id === 'string') list.push(display);
      } catch {
        // not a display: "READY" from an older agent, or the last line's end
      }
    }
    done(list);
  });
  listing.stdin.end();
}

// The Host values that name this server, filled in once it listens.
const hosts = new Set();
function namesThisServer(host) {
  return typeof host === 'string' && hosts.has(host.toLowerCase());
}

const server = http.createServer((request, response) => {
  if (!namesThisServer(request.headers.host)) {
    refuse('a request', request, `Host ${quote(request.headers.host)} does not name this server`);
    response.writeHead(403).end();
    return;
  }
  if (request.url !== '/' || (request.method !== 'GET' && request.method !== 'HEAD')) {
    response.writeHead(404).end();
    return;
  }
  response.writeHead(200, {
    'Content-Type': 'text/html; charset=utf-8',
    'Cache-Control': 'no-store',
    'Referrer-Policy': 'no-referrer',
    'X-Frame-Options': 'DENY',
    'X-Content-Type-Options': 'nosniff',
  }).end(request.method === 'GET' ? page : undefined);
});

// The token travels as a WebSocket subprotocol, "token.<token>", beside
// "input-agent", which is the one the server answers with: so it is in no
// URL, log or Referer header.
function offeredToken(request) {
  const offered = (request.headers['sec-websocket-protocol'] ?? '').split(',').map((p) => p.trim());
  const found = offered.find((p) => p.startsWith('token.'));
  return found === undefined ? undefined : found.slice('token.'.length);
}

function sameSecret(offered) {
  const digest = (text) => crypto.createHash('sha256').update(text).digest();
  return crypto.timingSafeEqual(digest(offered), digest(token));
}

// Why an upgrade is refused, or null when it comes from the page.
function upgradeRefusal(request) {
  if (!namesThisServer(request.headers.host)) {
    return `Host ${quote(request.headers.host)} does not name this server`;
  }
  const origin = request.headers.origin;
  if (typeof origin !== 'string' || !origin.startsWith('http://') ||
      !namesThisServer(origin.slice('http://'.length))) {
    return `Origin ${quote(origin)} is not this server's`;
  }
  const offered = offeredToken(request);
  if (offered === undefined) return 'no token';
  if (!sameSecret(offered)) return 'wrong token';
  return null;
}

const sockets = new WebSocketServer({
  noServer: true,
  maxPayload: 64 * 1024,
  handleProtocols: () => 'input-agent',
});
server.on('upgrade', (request, socket, head) => {
  const refusal = upgradeRefusal(request);
  if (refusal) {
    refuse('a WebSocket', request, refusal);
    socket.end('HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 0\r\n\r\n');
    return;
  }
  sockets.handleUpgrade(request, socket, head, (ws) => takeControl(ws));
});

// The page in control; a newer one takes over, and the agent lets go of
// what the older one held. The displays are listed afresh for each page, so
// that one connected since is there; null while the agent lists them.
let controller = null;
let displays = null;

// The display the frames are of (null: the whole screen): the main one, until
// the page picks another with {"show":"ID"}, a message for this server, not
// the agent. The page learns which display the frames after
// {"showing":"ID"} are of.
let shown = null;
function show(display) {
  shown = display;
  frames?.send(display);
}

function chosenDisplay(text) {
  try {
    const { show: id } = JSON.parse(text);
    return displays?.find((display) => display.id === id);
  } catch {
    return undefined;
  }
}

// The displays are listed for the page, the main one shown first.
function offerDisplays(socket) {
  displays = null;
  shown = null;
  listDisplays((list) => {
    if (socket !== controller) return;
    displays = list;
    show(list[0] ?? null);
    socket.send(JSON.stringify({ displays: list }));
  });
}

// The controlling page may start the agent again once it has ended (its
// session ended, and now there is a desktop again); a running agent stays
// the only one. The new agent's displays may not be the old one's.
function restart(socket) {
  if (!ended) return;
  startAgent();
  offerDisplays(socket);
}

function takeControl(socket) {
  if (controller) {
    command('{"type":"release"}');
    controller.send(JSON.stringify({ closed: 'another page took control' }));
    controller.close(4000, 'another page took control');
  }
  controller = socket;
  socket.send(status);
  offerDisplays(socket);
  socket.on('error', () => {});  // a broken connection; its close follows
  socket.on('message', (data, isBinary) => {
    if (socket !== controller || isBinary) return;
    const text = data.toString();
    if (text === '{"restart":true}') return restart(socket);
    if (!text.startsWith('{"show":')) return command(text);
    const display = chosenDisplay(text);
    if (!display) return;
    show(display);
    socket.send(JSON.stringify({ showing: display.id }));
  });
  // A controlling page that goes away must not leave anything held.
  socket.on('close', () => {
    if (socket !== controller) return;
    controller = null;
    command('{"type":"release"}');
  });
}

// Frames are read, compared and deflated by a process of their own at the
// lowest priority, so input never waits behind them, neither on this event
// loop nor for a core; a frame is skipped while the previous one is still on
// its way, and none is sent while the screen is unchanged. Frames wait for
// the list of displays, so that the first is of the display the page shows.
let frames = null;
let frameInFlight = false;
let frameOf = null;  // the display the frame on its way was asked of
if (options.framebuffer) {
  frames = fork(path.join(__dirname, 'frames.js'), [options.framebuffer],
                { serialization: 'advanced', stdio: ['ignore', 'ignore', 'inherit', 'ipc'] });
  try {
    os.setPriority(frames.pid, os.constants.priority.PRIORITY_LOW);
  } catch {
    // Where priorities cannot be set, frames still stay off this event loop.
  }
  frames.on('message', (frame) => {
    // A frame of the display shown before the page picked another stays here.
    if (!frame || !controller || frameOf !== shown) {
      frameInFlight = false;
      return;
    }
    controller.send(frame, { binary: true }, () => { frameInFlight = false; });
  });
  frames.on('error', (error) => fail(`reading frames: ${error.message}`));
  setInterval(() => {
    if (frameInFlight || !controller || !displays) return;
    frameInFlight = true;
    frameOf = shown;
    frames.send('frame');
  }, 250).unref();
}

startAgent();
server.listen(options.port, options.host, () => {
  const { port } = server.address();
  const bracketed = (host) => (net.isIPv6(host) ? `[${host}]` : host);
  for (const name of ['127.0.0.1', 'localhost', '[::1]', bracketed(options.host),
                      ...options.allowHosts]) {
    // A name with a port of its own (a tunnel's local end) is taken as it is.
    if (/:\d+$/.test(name)) {
      hosts.add(name.toLowerCase());
      continue;
    }
    hosts.add(`${name.toLowerCase()}:${port}`);
    if (port === 80) hosts.add(name.toLowerCase());
  }
  if (options.allowRemote && !isLoopback(options.host)) {
    console.error(`server: WARNING: listening on ${options.host}: keystrokes, clicks and the ` +
                  'screen travel unencrypted, and anyone with the token drives this desktop. ' +
                  'An SSH tunnel to a loopback port is the safe way to reach it from elsewhere.');
  }
  const shown = ['0.0.0.0', '::'].includes(options.host) ? '127.0.0.1' : bracketed(options.host);
  console.log(`http://${shown}:${port}/#token=${token}`);
});
server.on('error', (error) => fail(`cannot listen on ${options.host}:${options.port}: ` +
                                   error.message));

// Stopping the server closes the agent's input: it lets go of everything and
// exits.
function stop() {
  if (ended) process.exit(0);
  agent.stdin.end();
  server.close();
  for (const socket of sockets.clients) socket.terminate();
  const timer = setTimeout(() => process.exit(0), 2000);
  agent.on('close', () => {
    clearTimeout(timer);
    process.exit(0);
  });
}
process.on('SIGINT', stop);
process.on('SIGTERM', stop);
