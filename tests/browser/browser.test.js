// The demo page in Debian's Chromium against the real mirvale executable on 8142/8143.
// Environment: MIRVALE_BUILD_DIR (default ../../build), the folder that holds bin/mirvale;
// the screenshot after Play is written there.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync, spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');

const ROOT = path.resolve(__dirname, '..', '..');
const BUILD_DIR = path.resolve(process.env.MIRVALE_BUILD_DIR || path.join(ROOT, 'build'));
const EXECUTABLE = path.join(BUILD_DIR, 'bin', 'mirvale');
const PAGE_URL = 'file://' + path.join(ROOT, 'web', 'demo.html');
const SCREENSHOT = path.join(BUILD_DIR, 'browser-demo-play.png');
const CHROMIUM = process.env.MIRVALE_CHROMIUM || '/usr/bin/chromium';
const PORTS = [8142, 8143];
const VERSION = '1.1.0.18025';
const SUBTITLE = '1\n00:00:01,000 --> 00:00:02,000\nHello from the browser test\n';

// The service answers after up to a second per pass; a Play with a download takes a few.
const REPLY_WAIT = 30000;
const PLAY_WAIT = 90000;

const BASE_FLAGS = ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic'];

let tmp;            // everything the test writes, except the screenshot
let service;        // { child, exited: Promise<code>, log }
let subtitleServer; // serves the subtitle and records requests and upgrade headers
let subtitleRequests = 0;
let upgradeHeaders = null;
let browser;        // with --ignore-certificate-errors
let page;
const findings = [];
let failed = false;

// A test whose failure keeps the temporary folder (service log, fixtures) for a look.
function step(name, fn) {
  test(name, async (t) => {
    try {
      await fn(t);
    } catch (e) {
      failed = true;
      throw e;
    }
  });
}

function canConnect(port) {
  return new Promise((resolve) => {
    const s = net.connect({ host: '127.0.0.1', port });
    s.once('connect', () => { s.destroy(); resolve(true); });
    s.once('error', () => resolve(false));
  });
}

// True when the process `pid` holds the listening socket of `port` (not another mirvale).
function listensOn(pid, port) {
  const out = execFileSync('ss', ['-Hltnp', `sport = :${port}`], { encoding: 'utf8' });
  return out.includes(`pid=${pid},`);
}

async function waitFor(what, condition, timeoutMs) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > deadline) throw new Error('timed out waiting for ' + what);
    await new Promise((r) => setTimeout(r, 100));
  }
}

function startService() {
  const logPath = path.join(tmp, 'mirvale.log');
  const log = fs.openSync(logPath, 'a');
  // "-e" with an argument after it is debug mode: players start as children of the service,
  // which a machine without a desktop session needs. setpriv execs the service (its pid stays
  // the child's) so that it dies with this test, however the test ends.
  const child = spawn('setpriv', ['--pdeathsig', 'KILL', '--', EXECUTABLE, '-e', 'browser-test'], {
    env: {
      ...process.env,
      MIRVALE_PUBLIC_DIR: path.join(tmp, 'public'),
      MIRVALE_REGISTRY: path.join(tmp, 'players.reg'),
      QT_QPA_PLATFORM: 'offscreen',
    },
    stdio: ['ignore', log, log],
  });
  fs.closeSync(log);
  const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve(signal || code)));
  return { child, exited, logPath };
}

async function stopService() {
  if (!service || service.child.exitCode !== null || service.child.signalCode !== null) return;
  service.child.kill('SIGTERM');
  const timer = setTimeout(() => service.child.kill('SIGKILL'), 20000);
  await service.exited;
  clearTimeout(timer);
}

function launch(extraFlags) {
  return chromium.launchPersistentContext(fs.mkdtempSync(path.join(tmp, 'profile-')), {
    executablePath: CHROMIUM,
    headless: true,
    args: [...BASE_FLAGS, ...extraFlags],
    viewport: { width: 1000, height: 1100 },
  });
}

async function connectTo(p, endpoint) {
  if (await p.isEnabled('#disconnect')) {
    await p.click('#disconnect');
    await p.locator('#status').filter({ hasText: 'Disconnected.' }).waitFor({ timeout: REPLY_WAIT });
  }
  await p.check(`input[name=endpoint][value="${endpoint}"]`);
  await p.click('#connect');
}

async function statusText(p, text) {
  try {
    await p.locator('#status').filter({ hasText: text }).waitFor({ timeout: REPLY_WAIT });
  } catch (e) {
    const listeners = execFileSync('ss', ['-Hltnp', '( sport = :8142 or sport = :8143 )'], { encoding: 'utf8' });
    throw new Error(`the page's status never said "${text}"; it says "${await p.textContent('#status')}"; ` +
      `listening on 8142/8143: ${listeners.trim() || 'nothing'}`);
  }
  return p.textContent('#status');
}

before(async () => {
  failed = true; // until the setup is complete
  assert.ok(fs.existsSync(EXECUTABLE), `${EXECUTABLE} is missing: build the target mirvale first`);
  for (const port of PORTS) {
    assert.equal(await canConnect(port), false, `port ${port} is already in use: stop the other mirvale first`);
  }
  tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'mirvale-browser-'));
  fs.mkdirSync(path.join(tmp, 'public'));

  // VLC's path is InstallDir + "\vlc.exe": on Linux one file name with a backslash in it.
  const player = fs.readFileSync(path.join(__dirname, 'fixtures', 'fake-player.sh'));
  for (const file of [path.join(tmp, 'vlc') + '\\vlc.exe', path.join(tmp, 'PotPlayerMini64.exe')]) {
    fs.writeFileSync(file, player, { mode: 0o755 });
  }
  const regDir = tmp.replace(/\\/g, '\\\\').replace(/"/g, '\\"');
  const reg = fs.readFileSync(path.join(__dirname, 'fixtures', 'players.reg'), 'utf8').replaceAll('@DIR@', regDir);
  fs.writeFileSync(path.join(tmp, 'players.reg'), reg);

  subtitleServer = http.createServer((req, res) => {
    if (req.url === '/film.srt') {
      subtitleRequests++;
      res.writeHead(200, { 'Content-Type': 'application/x-subrip' });
      res.end(SUBTITLE);
    } else {
      res.writeHead(404);
      res.end();
    }
  });
  // Records what a page sends when it opens a WebSocket, then hangs up.
  subtitleServer.on('upgrade', (req, socket) => {
    upgradeHeaders = req.headers;
    socket.destroy();
  });
  await new Promise((r) => subtitleServer.listen(0, '127.0.0.1', r));

  service = startService();
  await waitFor('the service to listen on 8142 and 8143', async () => {
    if (service.child.exitCode !== null) throw new Error('mirvale exited early; see ' + service.logPath);
    return PORTS.every((port) => listensOn(service.child.pid, port));
  }, 30000);

  browser = await launch(['--ignore-certificate-errors']);
  page = await browser.newPage();
  await page.goto(PAGE_URL);
  failed = false;
});

after(async () => {
  await stopService();
  if (browser) await browser.close();
  if (subtitleServer) subtitleServer.close();
  for (const f of findings) console.log('browser finding: ' + f);
  if (tmp && !failed) fs.rmSync(tmp, { recursive: true, force: true });
  else if (tmp) console.log('kept ' + tmp + ' (service log: mirvale.log)');
});

step('the page shows Getinfo over ws and over wss', async () => {
  for (const endpoint of ['ws://127.0.0.1:8142/', 'wss://127.0.0.1:8143/']) {
    await page.evaluate(() => document.getElementById('info').replaceChildren('cleared'));
    await connectTo(page, endpoint);
    await page.locator('#version').filter({ hasText: VERSION }).waitFor({ timeout: REPLY_WAIT });
    assert.match(await statusText(page, 'Connected to'), new RegExp(endpoint.replace(/[/.]/g, '\\$&')));
    assert.equal(await page.textContent('#installed'), 'Installed players: VLC, PotPlayer.', endpoint);
    const rows = await page.$$eval('#info tbody tr', (trs) => trs.map((tr) => Array.from(tr.cells, (c) => c.textContent)));
    assert.deepEqual(rows, [
      ['VLC', 'yes', 'fullscreen, video-on-top, sub-file'],
      ['PotPlayer', 'yes', 'none'],
    ], endpoint);
  }
});

step('Play of two URLs with a subtitle starts the player over wss and the page shows code 0', async () => {
  const urls = ['http://media.invalid/one.mp4', 'http://media.invalid/two.mkv?x=1&y=2'];
  const subtitleUrl = `http://127.0.0.1:${subtitleServer.address().port}/film.srt`;
  const record = path.join(tmp, 'vlc') + '\\vlc.exe.args';

  assert.equal(await page.evaluate(() => document.querySelector('input[name=endpoint]:checked').value), 'wss://127.0.0.1:8143/');
  await page.selectOption('#player', 'vlc');
  await page.fill('#urls', urls.join('\n\n'));
  await page.fill('#subtitle', subtitleUrl);
  assert.equal(await page.isChecked('#opt-video-on-top'), true);
  await page.check('#opt-fullscreen');
  await page.click('#play');

  const result = page.locator('#results li.ok').filter({ hasText: 'code 0' });
  await result.waitFor({ timeout: PLAY_WAIT });
  assert.match(await result.textContent(), /Started: .*The subtitle was downloaded\./);
  await page.screenshot({ path: SCREENSHOT, fullPage: true });

  const args = (await waitFor('the fake player to record its arguments',
    () => fs.existsSync(record) && fs.readFileSync(record, 'utf8'), 30000)).split('\n').slice(0, -1);
  const publicDir = path.join(tmp, 'public', 'Mirvale');
  assert.equal(args.length, 4, args.join(' '));
  const [, name] = args[0].match(/^file:\/\/.*\/playlist\/(\d{9})\.list$/) || [];
  assert.ok(name, 'playlist argument: ' + args[0]);
  assert.equal(args[0], 'file://' + path.join(publicDir, 'playlist', name + '.list'));
  assert.deepEqual(args.slice(1), ['--video-on-top', '--fullscreen',
    '--sub-file=' + path.join(publicDir, 'subfiles', name + '.srt')]);
  assert.equal(fs.readFileSync(path.join(publicDir, 'playlist', name + '.list'), 'utf8'), urls.join('\n') + '\n');
  assert.equal(fs.readFileSync(path.join(publicDir, 'subfiles', name + '.srt'), 'utf8'), SUBTITLE);
  assert.equal(subtitleRequests, 1);
});

step('a player whose program is missing gets code -1, in words', async () => {
  fs.rmSync(path.join(tmp, 'PotPlayerMini64.exe'));
  await page.selectOption('#player', 'potplayer');
  await page.fill('#urls', 'http://media.invalid/three.mp4');
  await page.click('#play');
  const result = page.locator('#results li.bad').filter({ hasText: 'code -1' });
  await result.waitFor({ timeout: PLAY_WAIT });
  assert.match(await result.textContent(), /not installed on this PC/);
});

step('what Chromium sends and refuses that a QWebSocket client does not', async (t) => {
  // Headers of the page's handshake, as a server sees them.
  const port = subtitleServer.address().port;
  await page.evaluate((url) => new WebSocket(url), `ws://127.0.0.1:${port}/`);
  await waitFor('the page\'s handshake', () => upgradeHeaders, REPLY_WAIT);
  assert.equal(upgradeHeaders.origin, 'null', 'a page opened from a file sends Origin: null');
  findings.push(`handshake from a file:// page: Origin "${upgradeHeaders.origin}", ` +
    `Sec-WebSocket-Extensions "${upgradeHeaders['sec-websocket-extensions']}", no Sec-WebSocket-Protocol`);

  // Naming the request protocol: the browser fails the connection unless the server echoes it.
  const named = await page.evaluate(() => new Promise((resolve) => {
    const ws = new WebSocket('ws://127.0.0.1:8142/', '42689.2');
    ws.onopen = () => { resolve('open, protocol "' + ws.protocol + '"'); ws.close(); };
    ws.onclose = (e) => resolve('closed before open, code ' + e.code);
  }));
  findings.push(`new WebSocket(ws://127.0.0.1:8142/, "42689.2"): ${named}; the page names no subprotocol`);
  t.diagnostic(named);

  // The certificate link leads to an answer, not to a hanging request.
  const other = await browser.newPage();
  const response = await other.goto('https://127.0.0.1:8143/', { timeout: REPLY_WAIT });
  findings.push(`https://127.0.0.1:8143/ answers ${response.status()} ${response.headers()['content-type']}`);
  assert.equal(response.status(), 200);
  await other.close();
});

step('without the certificate accepted, wss says so and links to the certificate page', async () => {
  const strict = await launch([]);
  try {
    const p = await strict.newPage();
    await p.goto(PAGE_URL);
    await connectTo(p, 'wss://127.0.0.1:8143/');
    const text = await statusText(p, 'does not trust the service\'s certificate');
    assert.match(text, /The service is running/);
    assert.equal(await p.getAttribute('#status a', 'href'), 'https://127.0.0.1:8143/');
    findings.push('a refused certificate shows only as close code 1006 before open, like a closed port');
  } finally {
    await strict.close();
  }
});

step('with the service stopped the page says so', async (t) => {
  await stopService();
  await statusText(page, 'was lost');
  // On a shared machine another mirvale may take the ports at once; nothing to test then.
  const taken = (await Promise.all(PORTS.map(canConnect))).some(Boolean);
  if (taken) {
    t.skip('another process listens on 8142/8143 now');
    return;
  }
  await connectTo(page, 'ws://127.0.0.1:8142/');
  assert.match(await statusText(page, 'not running'), /nothing answers at ws:\/\/127\.0\.0\.1:8142\//);
  await connectTo(page, 'wss://127.0.0.1:8143/');
  assert.match(await statusText(page, 'not running'), /nothing answers at wss:\/\/127\.0\.0\.1:8143\/ or ws:/);
});
