// The web controller's input delay: from a page's message to the agent's
// input, with frames streaming and without, side by side in one run.
//
// An Xvfb of 1920×1080 whose whole screen changes ten times a second (random
// bitmaps on the root window, the worst case for deflate) stands behind the
// server; the server runs the stand-in agent with its trace on a FIFO, and a
// WebSocket client in this process plays the page: it sends one key command
// at a time and times it until its trace line arrives, as a thread of this
// process that does nothing else notes (receiving frames here must not delay
// the reading). The two modes take turns, so both see the same machine.
//
//   node bench/web_latency.js [--samples 1000] [--build build-release]
//
// It prints one line of figures: on_median_us, on_p99_us, off_median_us,
// off_p99_us, and the frames the page received while measuring.
//
// Needs the web controller's npm packages (npm ci in examples/web-controller)
// and Xvfb and xsetroot (scripts/install-deps).
'use strict';

const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { Worker } = require('node:worker_threads');

const root = path.join(__dirname, '..');
const webController = path.join(root, 'examples', 'web-controller');
const WebSocket = require(require.resolve('ws', { paths: [webController] }));

function option(name, fallback) {
  const at = process.argv.indexOf(`--${name}`);
  return at > 0 ? process.argv[at + 1] : fallback;
}
const samples = Number(option('samples', 1000));
const standin = path.resolve(root, option('build', 'build-release'), 'input-agent-standin');
const rounds = 3;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'web-latency-'));
const children = [];

function startXvfb() {
  const xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1920x1080x24', '-fbdir', work,
                              '-nolisten', 'tcp', '-noreset'],
                     { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  children.push(xvfb);
  return new Promise((resolve) => {
    readline.createInterface({ input: xvfb.stdio[3] }).once('line', (n) => resolve(`:${n}`));
  });
}

// Random bitmaps, set as the root window's background in turn by a shell
// loop of its own, so that this process's timing is not disturbed.
function churnScreen(display) {
  const bitmaps = [0, 1, 2, 3].map((n) => {
    const file = path.join(work, `noise${n}.xbm`);
    const bytes = Array.from(require('node:crypto').randomBytes(1920 / 8 * 1080),
                             (b) => `0x${b.toString(16).padStart(2, '0')}`);
    fs.writeFileSync(file, `#define n_width 1920\n#define n_height 1080\n` +
                     `static unsigned char n_bits[] = {\n${bytes.join(',')}};\n`);
    return file;
  });
  const loop = 'while :; do for f in "$@"; do xsetroot -bitmap "$f"; sleep 0.1; done; done';
  children.push(spawn('bash', ['-c', loop, 'churn', ...bitmaps],
                      { env: { ...process.env, DISPLAY: display }, stdio: 'ignore' }));
}

// The server on the stand-in, its trace on a FIFO read here.
async function startServer(withFrames) {
  const fifo = path.join(work, `trace-${withFrames}`);
  if (!fs.existsSync(fifo)) spawnSync('mkfifo', [fifo]);
  const args = [path.join(webController, 'server.js'), '--agent', standin, '--port', '0'];
  if (withFrames) args.push('--framebuffer', path.join(work, 'Xvfb_screen0'));
  // The thread notes each trace line's arrival on the same monotonic clock.
  const trace = new Worker(`
    const { parentPort, workerData } = require('node:worker_threads');
    require('node:readline').createInterface({
      input: require('node:fs').createReadStream(workerData),
    }).on('line', () => parentPort.postMessage(process.hrtime.bigint()));`,
  { eval: true, workerData: fifo });
  const server = spawn(process.execPath, args, {
    env: { ...process.env, INPUT_AGENT_STANDIN_TRACE: fifo },
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  children.push(server);
  const url = new URL(await new Promise((resolve) => {
    readline.createInterface({ input: server.stdout }).once('line', resolve);
  }));
  const token = new URLSearchParams(url.hash.slice(1)).get('token');
  const socket = new WebSocket(`ws://127.0.0.1:${url.port}/`, ['input-agent', `token.${token}`],
                               { origin: `http://127.0.0.1:${url.port}` });
  await new Promise((resolve, reject) => {
    socket.once('message', resolve);
    socket.once('error', reject);
  });
  let frames = 0;
  socket.on('message', (data, binary) => { if (binary) frames++; });
  return { server, socket, trace, frames: () => frames };
}

// One key command at a time, a few milliseconds apart; each one's delay in µs.
async function measure({ socket, trace }, count) {
  const delays = [];
  let sent = 0n;
  let arrived = null;
  trace.on('message', (at) => arrived?.(at));
  for (let i = 0; i < count; i++) {
    const landed = new Promise((resolve) => { arrived = resolve; });
    sent = process.hrtime.bigint();
    socket.send(`{"type":"key","code":"KeyA","down":${i % 2 === 0}}`);
    delays.push(Number((await landed) - sent) / 1000);
    await sleep(2 + Math.random() * 8);
  }
  trace.removeAllListeners('message');
  return delays;
}

function percentile(values, p) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(p * sorted.length))];
}

async function main() {
  if (!fs.existsSync(standin)) throw new Error(`no ${standin}: build first (bench/run does)`);
  churnScreen(await startXvfb());
  // One server at a time, so that one's frames do not load the other's turn.
  const delays = { 'frames off': [], 'frames on': [] };
  let frames = 0;
  for (let round = 0; round < rounds; round++) {
    for (const [name, withFrames] of [['frames off', false], ['frames on', true]]) {
      const mode = await startServer(withFrames);
      await sleep(500);  // frames flowing
      delays[name].push(...await measure(mode, Math.ceil(samples / rounds)));
      frames += mode.frames();
      mode.socket.close();
      mode.server.kill();
      await new Promise((resolve) => mode.server.once('exit', resolve));
      await mode.trace.terminate();
    }
  }
  const figures = {};
  for (const [name, key] of [['frames on', 'on'], ['frames off', 'off']]) {
    figures[`${key}_median_us`] = percentile(delays[name], 0.5).toFixed(1);
    figures[`${key}_p99_us`] = percentile(delays[name], 0.99).toFixed(1);
  }
  figures.frames = frames;
  console.log(Object.entries(figures).map(([key, value]) => `${key}=${value}`).join(' '));
}

main().catch((error) => {
  console.error(`web_latency: ${error.message}`);
  process.exitCode = 1;
}).finally(() => {
  for (const child of children) child.kill();
  setTimeout(() => {
    fs.rmSync(work, { recursive: true, force: true });
    process.exit();
  }, 200);
});
