// A reference controller for input-agent. It serves one page and a WebSocket,
// starts the agent with pipes, and writes each command the page sends to the
// agent's standard input as one line. It adds no protocol of its own and
// checks nothing the agent checks itself.
//
//   node server.js [--agent PATH] [--port 8080] [--host 127.0.0.1]
//                  [--framebuffer FILE]
//
// --framebuffer names the screen file of an Xvfb started with -fbdir; the page
// then shows that display, a few frames a second.
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const readline = require('node:readline');
const zlib = require('node:zlib');
const { WebSocketServer } = require('ws');

function option(name, fallback) {
  const at = process.argv.indexOf(`--${name}`);
  return at > 0 ? process.argv[at + 1] : fallback;
}

const agentPath = option('agent', path.join(__dirname, '..', '..', 'build', 'input-agent'));
const port = Number(option('port', 8080));
const host = option('host', '127.0.0.1');
const framebuffer = option('framebuffer', null);
const page = fs.readFileSync(path.join(__dirname, 'index.html'));

// The agent's first line is its status: "READY", or "ACCESSIBILITY_REQUIRED"
// when it may not post input (it then exits).
const agent = spawn(agentPath, [], { stdio: ['pipe', 'pipe', 'inherit'] });
let status = 'STARTING';
readline.createInterface({ input: agent.stdout }).once('line', (line) => {
  status = line;
  broadcast(JSON.stringify({ status }));
});
agent.on('exit', () => {
  if (status === 'STARTING') status = 'NOT_STARTED';
});
agent.stdin.on('error', () => {});  // the agent is gone; commands go nowhere

// One WebSocket message is one command, one line. A line break inside a
// message would make it two lines, so such a message is not passed on.
function command(text) {
  if (!/[\r\n]/.test(text) && agent.stdin.writable) agent.stdin.write(text + '\n');
}

const server = http.createServer((request, response) => {
  if (request.url !== '/') {
    response.writeHead(404).end();
    return;
  }
  response.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' }).end(page);
});

const sockets = new WebSocketServer({ server });
sockets.on('connection', (socket) => {
  socket.send(JSON.stringify({ status }));
  socket.on('message', (data, isBinary) => {
    if (!isBinary) command(data.toString());
  });
  // A page that goes away must not leave anything held.
  socket.on('close', () => command('{"type":"release"}'));
});

function broadcast(message) {
  for (const socket of sockets.clients) socket.send(message);
}

// The display's pixels as Xvfb keeps them (an XWD file), sent as a 12-byte
// header (width, height, bytes per row; little-endian) and the rows of
// 32-bit pixels, deflated.
function sendFrame() {
  if (sockets.clients.size === 0) return;
  let file;
  try {
    file = fs.readFileSync(framebuffer);
  } catch {
    return;
  }
  const field = (index) => file.readUInt32BE(index * 4);
  const [headerSize, width, height, bytesPerRow, colours] =
      [field(0), field(4), field(5), field(12), field(19)];
  const start = headerSize + colours * 12;
  const header = Buffer.alloc(12);
  header.writeUInt32LE(width, 0);
  header.writeUInt32LE(height, 4);
  header.writeUInt32LE(bytesPerRow, 8);
  const pixels = zlib.deflateSync(file.subarray(start, start + bytesPerRow * height), { level: 1 });
  broadcast(Buffer.concat([header, pixels]));
}
if (framebuffer) setInterval(sendFrame, 250);

server.listen(port, host, () => {
  console.log(`http://${host}:${server.address().port}/`);
});

// Stopping the server closes the agent's input: it lets go of everything and
// exits.
function stop() {
  agent.stdin.end();
  server.close();
  for (const socket of sockets.clients) socket.terminate();
  const timer = setTimeout(() => process.exit(0), 2000);
  agent.on('exit', () => {
    clearTimeout(timer);
    process.exit(0);
  });
  if (agent.exitCode !== null) process.exit(0);
}
process.on('SIGINT', stop);
process.on('SIGTERM', stop);
