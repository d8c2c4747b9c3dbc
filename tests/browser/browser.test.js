// The browsers against the real mirvale executable on 8142/8143: one matrix of cells (a browser,
// the origin of the page, the local-network permission), each reaching the service through
// web/mirvale.js; the connect page's consent; then the demo page in Chromium.
// Environment: MIRVALE_BUILD_DIR (default ../../build), the folder that holds bin/mirvale; the
// screenshot after Play is written there. The public origins need the network namespace of
// run.sh (MIRVALE_BROWSER_NETNS=1, root); the trusted wss route needs root and
// bin/mirvale-certificate.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync, spawn } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const https = require('node:https');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');
const puppeteer = require('puppeteer-core');

const ROOT = path.resolve(__dirname, '..', '..');
const BUILD_DIR = path.resolve(process.env.MIRVALE_BUILD_DIR || path.join(ROOT, 'build'));
const EXECUTABLE = path.join(BUILD_DIR, 'bin', 'mirvale');
const CERTIFICATE_TOOL = path.join(BUILD_DIR, 'bin', 'mirvale-certificate');
const WEB = path.join(ROOT, 'web');
const SCREENSHOT = path.join(BUILD_DIR, 'browser-demo-play.png');
const VLC_SCREENSHOT = path.join(BUILD_DIR, 'browser-real-vlc.png');
const CHROMIUM = process.env.MIRVALE_CHROMIUM || '/usr/bin/chromium';
const FIREFOX = process.env.MIRVALE_FIREFOX || '/usr/bin/firefox-esr';
const PORTS = [8142, 8143];
const VERSION = fs.readFileSync(path.join(ROOT, 'constants.env'), 'utf8').match(/^MIRVALE_VERSION=(.*)$/m)[1];
const SUBTITLE = '1\n00:00:01,000 --> 00:00:02,000\nHello from the browser test\n';
const CONNECT_PAGE = 'http://127.0.0.1:8142/connect';
const MACHINE_LOCK = '/tmp/mirvale-machine.lock';

// The public sites live on an address of the namespace's loopback device, outside every local
// range; the browsers' resolvers map the names to it.
const OWN_NAMESPACE = process.env.MIRVALE_BROWSER_NETNS === '1';
const PUBLIC_ADDRESS = '203.0.113.10';
const ORIGINS = {
  loopback: null, // http://127.0.0.1:<port>, set in before()
  http: 'http://media.example',
  https: 'https://secure.example',
};

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

function startService(bin) {
  const logPath = path.join(tmp, 'mirvale.log');
  const log = fs.openSync(logPath, 'a');
  // "-e" with an argument after it is debug mode: players start as children of the service,
  // which a machine without a desktop session needs. setpriv execs the service (its pid stays
  // the child's) so that it dies with this test, however the test ends.
  const child = spawn('setpriv', ['--pdeathsig', 'KILL', '--', path.join(bin, 'mirvale'), '-e', 'browser-test'], {
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

function serviceLog() {
  return fs.readFileSync(service.logPath, 'utf8');
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

// The pages every origin serves: the module and the demo from web/, a cell of the matrix, a page
// that frames the connect page.
const CELL_PAGE = `<!DOCTYPE html><meta charset="utf-8"><title>cell</title>
<button id="go">Connect</button> <button id="play">Play</button> <button id="raw">Post</button>
<script type="module">
import { connect } from "./mirvale.js";
const options = JSON.parse(new URLSearchParams(location.search).get("options") || "{}");
window.results = [];
let client = null;
document.getElementById("go").onclick = async () => {
  const t0 = performance.now();
  try {
    client = await connect(options);
    const text = await client.requestText('{"action":"Getinfo","id":"cell"}');
    window.results.push({ route: client.route, ms: Math.round(performance.now() - t0), text });
  } catch (e) {
    window.results.push({ error: e.code || String(e), message: e.message, ms: Math.round(performance.now() - t0) });
  }
};
// The site's side of the connect page without the module: one request's text, and each answer.
document.getElementById("raw").onclick = () => {
  const page = window.open("${CONNECT_PAGE}", "mirvale-raw");
  window.addEventListener("message", (e) => {
    if (e.source !== page) return;
    if (e.data && e.data.mirvale === "ready") page.postMessage(options.raw, new URL("${CONNECT_PAGE}").origin);
    else window.results.push({ raw: e.data });
  });
};
document.getElementById("play").onclick = async () => {
  try {
    const reply = await client.play({ files: [{ url: "http://media.invalid/consent.mp4" }] }, "vlc");
    window.results.push({ play: reply.return });
  } catch (e) {
    window.results.push({ error: e.code, message: e.message });
  }
};
</script>`;
const FRAME_PAGE = `<!DOCTYPE html><meta charset="utf-8"><iframe id="frame" src="${CONNECT_PAGE}"></iframe>`;

function servePages(req, res) {
  const url = new URL(req.url, 'http://page');
  const files = { '/mirvale.js': 'text/javascript', '/demo.html': 'text/html' };
  let body;
  if (files[url.pathname]) body = fs.readFileSync(path.join(WEB, url.pathname));
  else if (url.pathname === '/cell.html') body = CELL_PAGE;
  else if (url.pathname === '/frame.html') body = FRAME_PAGE;
  if (body === undefined) {
    res.writeHead(404);
    res.end();
    return;
  }
  res.writeHead(200, { 'Content-Type': (files[url.pathname] || 'text/html') + '; charset=utf-8' });
  res.end(body);
}

function listen(server, port, host) {
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, host, () => resolve(server));
  });
}

function openssl(...args) {
  return execFileSync('openssl', args, { cwd: tmp, stdio: ['ignore', 'pipe', 'pipe'] });
}

// A CA of the test's own and the public sites' certificate, which the browsers trust for this
// run only (Chromium by the certificate's key, Firefox in its profile's store): never the
// service's CA, whose trust comes from the policy files alone.
function makeSiteCertificate() {
  openssl('req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', 'site-ca.key', '-out', 'site-ca.crt',
    '-days', '2', '-subj', '/CN=Mirvale browser test sites', '-addext', 'basicConstraints=critical,CA:TRUE');
  openssl('req', '-newkey', 'rsa:2048', '-nodes', '-keyout', 'site.key', '-out', 'site.csr', '-subj', '/CN=secure.example');
  fs.writeFileSync(path.join(tmp, 'site.ext'), 'subjectAltName=DNS:secure.example,DNS:media.example\n' +
    'extendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n');
  openssl('x509', '-req', '-in', 'site.csr', '-CA', 'site-ca.crt', '-CAkey', 'site-ca.key', '-CAcreateserial',
    '-out', 'site.crt', '-days', '2', '-extfile', 'site.ext');
  const spki = crypto.createPublicKey(fs.readFileSync(path.join(tmp, 'site.key'))).export({ type: 'spki', format: 'der' });
  return {
    key: fs.readFileSync(path.join(tmp, 'site.key')),
    cert: fs.readFileSync(path.join(tmp, 'site.crt')),
    spki: crypto.createHash('sha256').update(spki).digest('base64'),
  };
}

// Holds the machine's lock from now until release(): the policy files are the machine's.
async function machineLock() {
  const holder = spawn('flock', [MACHINE_LOCK, 'sh', '-c', 'echo locked; exec cat'], { stdio: ['pipe', 'pipe', 'inherit'] });
  await new Promise((resolve, reject) => {
    holder.stdout.once('data', resolve);
    holder.once('exit', () => reject(new Error('flock ' + MACHINE_LOCK + ' failed')));
  });
  return () => new Promise((resolve) => { holder.once('exit', resolve); holder.stdin.end(); });
}

// The service's certificates made by the product's tool and its CA trusted where the package
// trusts it, as root; without either, wss stays untrusted and the cells take ws.
async function trustService(t) {
  const bin = path.join(BUILD_DIR, 'bin');
  if (process.getuid() !== 0 || !fs.existsSync(CERTIFICATE_TOOL)) {
    findings.push(process.getuid() !== 0 ? 'not root: the service\'s CA is not trusted, wss cells take ws'
      : `${CERTIFICATE_TOOL} is missing: the service's CA is not trusted, wss cells take ws`);
    return { bin, trusted: false };
  }
  const own = path.join(tmp, 'bin');
  fs.mkdirSync(own);
  fs.copyFileSync(EXECUTABLE, path.join(own, 'mirvale'));
  fs.chmodSync(path.join(own, 'mirvale'), 0o755);
  execFileSync(CERTIFICATE_TOOL, ['make', own]);
  const ca = path.join(own, 'mirvale-ca.crt');
  const release = await machineLock();
  try {
    execFileSync(CERTIFICATE_TOOL, ['trust', ca]);
  } catch (e) {
    await release();
    throw e;
  }
  findings.push('the service\'s CA trusted through the browsers\' policy files for this run');
  undo.push(async () => {
    try {
      execFileSync(CERTIFICATE_TOOL, ['untrust', ca]);
    } finally {
      await release();
    }
  });
  return { bin: own, trusted: true };
}

const undo = []; // run in reverse by after()
let pages = {};  // origin name -> base URL of its page server
let site = null; // the public https site's certificate
let trusted = false;

before(async () => {
  failed = true; // until the setup is complete
  assert.ok(fs.existsSync(EXECUTABLE), `${EXECUTABLE} is missing: build the target mirvale first`);
  // npm wants three numbers: the fourth is the build's metadata there.
  assert.equal(JSON.parse(fs.readFileSync(path.join(WEB, 'package.json'), 'utf8')).version.replace('+', '.'), VERSION,
    'web/package.json has another version than constants.env');
  for (const port of PORTS) {
    assert.equal(await canConnect(port), false, `port ${port} is already in use: stop the other mirvale first`);
  }
  tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'mirvale-browser-'));
  fs.mkdirSync(path.join(tmp, 'public'));

  // VLC's path is InstallDir + "\\vlc.exe": on Linux one file name with a backslash in it.
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
  await listen(subtitleServer, 0, '127.0.0.1');

  const loopback = await listen(http.createServer(servePages), 0, '127.0.0.1');
  undo.push(() => loopback.close());
  pages.loopback = ORIGINS.loopback = `http://127.0.0.1:${loopback.address().port}`;
  if (OWN_NAMESPACE) {
    execFileSync('ip', ['addr', 'add', PUBLIC_ADDRESS + '/32', 'dev', 'lo']);
    site = makeSiteCertificate();
    const plain = await listen(http.createServer(servePages), 80, PUBLIC_ADDRESS);
    const secure = await listen(https.createServer({ key: site.key, cert: site.cert }, servePages), 443, PUBLIC_ADDRESS);
    undo.push(() => { plain.close(); secure.close(); });
    pages.http = ORIGINS.http;
    pages.https = ORIGINS.https;
  } else {
    findings.push('not in a network namespace of its own (tests/browser/run.sh as root makes one): public origins skipped');
  }

  const service_ = await trustService();
  trusted = service_.trusted;
  service = startService(service_.bin);
  await waitFor('the service to listen on 8142 and 8143', async () => {
    if (service.child.exitCode !== null) throw new Error('mirvale exited early; see ' + service.logPath);
    return PORTS.every((port) => listensOn(service.child.pid, port));
  }, 30000);

  browser = await launch(['--ignore-certificate-errors']);
  page = await browser.newPage();
  await page.goto(pages.loopback + '/demo.html');
  failed = false;
});

after(async () => {
  await stopService();
  if (browser) await browser.close();
  for (const b of Object.values(browsers)) await b.then((opened) => opened.close(), () => {});
  if (subtitleServer) subtitleServer.close();
  for (const step_ of undo.reverse()) await step_();
  for (const f of findings) console.log('browser finding: ' + f);
  if (matrix.length) {
    console.log('browser matrix (browser | page origin | reached | route | ms):');
    for (const m of matrix) console.log(`  ${m.browser} | ${m.origin} | ${m.reached ? 'yes' : 'no'} | ${m.route || m.error} | ${m.ms}`);
  }
  if (tmp && !failed) fs.rmSync(tmp, { recursive: true, force: true });
  else if (tmp) console.log('kept ' + tmp + ' (service log: mirvale.log)');
});

// The browsers of the matrix, each launched once, on first use.
const browsers = {}; // name -> Promise<{ newPage(), close() }>
const matrix = [];   // the measured cells, printed at the end

async function openBrowser(name) {
  if (name === 'firefox') {
    const profile = fs.mkdtempSync(path.join(tmp, 'firefox-'));
    if (site) {
      execFileSync('certutil', ['-N', '-d', 'sql:' + profile, '--empty-password']);
      execFileSync('certutil', ['-A', '-d', 'sql:' + profile, '-n', 'Mirvale browser test sites', '-t', 'C,,',
        '-i', path.join(tmp, 'site-ca.crt')]);
    }
    const prefs = site ? { 'network.dns.forceResolve': PUBLIC_ADDRESS } : {};
    const b = await puppeteer.launch({ browser: 'firefox', executablePath: FIREFOX, headless: true,
      userDataDir: profile, extraPrefsFirefox: prefs });
    return { newPage: () => b.newPage(), close: () => b.close() };
  }
  const flags = [...BASE_FLAGS];
  if (site) {
    flags.push(`--host-resolver-rules=MAP media.example ${PUBLIC_ADDRESS}, MAP secure.example ${PUBLIC_ADDRESS}`,
      '--ignore-certificate-errors-spki-list=' + site.spki);
  }
  const b = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: flags });
  const context = await b.newContext();
  if (name === 'chromium, permission granted') {
    // The local-network permission under each of the names Chromium has had for it; a page
    // that is no secure context cannot have it.
    const cdp = await b.newBrowserCDPSession();
    const { browserContextIds } = await cdp.send('Target.getBrowserContexts');
    for (const browserContextId of browserContextIds) {
      for (const origin of Object.values(pages)) {
        for (const permission of ['loopback-network', 'local-network-access', 'local-network']) {
          await cdp.send('Browser.setPermission', { permission: { name: permission }, setting: 'granted', origin,
            browserContextId }).catch((e) => { if (origin.startsWith('https:')) throw e; });
        }
      }
    }
  }
  return { newPage: () => context.newPage(), close: () => b.close() };
}

function browserNamed(name) {
  browsers[name] ||= openBrowser(name);
  return browsers[name];
}

async function quietly(fn) {
  try {
    return await fn();
  } catch (e) {
    return undefined; // the page is between documents
  }
}

// The next window the page opens.
function nextPopup(p) {
  return new Promise((resolve) => p.once('popup', resolve));
}

// Clicks a button of the connect page's question once it is shown and may be pressed.
async function answer(popup, button) {
  await waitFor('the connect page\'s question', () => quietly(() => popup.evaluate((b) => {
    const e = document.querySelector(b);
    return !!e && !e.disabled && !document.getElementById('question').hidden;
  }, button)), REPLY_WAIT);
  await popup.click(button);
}

async function openCell(p, origin, options = {}) {
  await p.goto(`${pages[origin]}/cell.html?options=${encodeURIComponent(JSON.stringify(options))}`);
}

async function cellResult(p, n = 0) {
  return waitFor('the page\'s result', () => quietly(() => p.evaluate((i) => window.results && window.results[i], n)),
    REPLY_WAIT);
}

// What a direct client gets for the request that the cells send.
async function directReply(p) {
  return p.evaluate(() => new Promise((resolve, reject) => {
    const ws = new WebSocket('ws://127.0.0.1:8142/');
    ws.onopen = () => ws.send('{"action":"Getinfo","id":"cell"}');
    ws.onmessage = (e) => { resolve(e.data); ws.close(); };
    ws.onclose = (e) => reject(new Error('closed ' + e.code));
  }));
}

// Every cell reaches the service through the module from a click. "direct": wss when the
// service's CA is trusted, ws otherwise.
const CELLS = [
  { browser: 'chromium', origin: 'loopback', route: 'direct' },
  { browser: 'chromium', origin: 'http', route: 'connect-page' },
  { browser: 'chromium', origin: 'https', route: 'connect-page' },
  { browser: 'chromium, permission granted', origin: 'loopback', route: 'direct' },
  { browser: 'chromium, permission granted', origin: 'http', route: 'connect-page' },
  { browser: 'chromium, permission granted', origin: 'https', route: 'direct' },
  { browser: 'firefox', origin: 'loopback', route: 'direct' },
  { browser: 'firefox', origin: 'http', route: 'direct' },
  { browser: 'firefox', origin: 'https', route: 'direct' },
  { browser: 'firefox', origin: 'http', route: 'connect-page', options: { routes: ['connect-page'] } },
  // The request protocol's own name, which libwebsockets 4.1 unpatched refuses.
  { browser: 'chromium', origin: 'loopback', route: 'ws', options: { routes: ['ws'], protocols: ['42689.2'] } },
];

for (const cell of CELLS) {
  const named = cell.options?.protocols ? ` naming "${cell.options.protocols}"`
    : cell.options ? ' taking only ' + cell.options.routes : '';
  step(`${cell.browser}: a ${cell.origin} page${named} reaches the service (${cell.route})`, async (t) => {
    if (!pages[cell.origin]) {
      t.skip('no public origins outside the test\'s own network namespace');
      return;
    }
    const p = await (await browserNamed(cell.browser)).newPage();
    const measured = { browser: cell.browser + named, origin: cell.origin };
    try {
      await openCell(p, cell.origin, cell.options);
      // A connect page opened on the way asks once: the user allows.
      p.on('popup', (popup) => answer(popup, '#allow').catch(() => {}));
      await p.click('#go');
      const result = await cellResult(p);
      Object.assign(measured, { reached: !!result.route, route: result.route, error: result.error, ms: result.ms });
      const expected = cell.route === 'direct' ? (trusted ? 'wss' : 'ws') : cell.route;
      assert.equal(result.route, expected, result.message);
      const reply = JSON.parse(result.text);
      assert.equal(reply.version, VERSION);
      assert.deepEqual(reply.applications, ['vlc', 'potplayer']);
    } finally {
      matrix.push(measured);
      await p.close();
    }
  });
}

// The connect page's consent, from a loopback page that takes the connect page's route: one
// browser of its own, so that the page's storage starts empty.
let consent;    // { browser, page }
const PLAY_RECORD = () => path.join(tmp, 'vlc') + '\\vlc.exe.args';

step('consent: Deny answers the site with an error, and nothing reaches the service', async () => {
  const b = await openBrowser('chromium');
  consent = { browser: b, page: await b.newPage() };
  undo.push(() => b.close());
  const p = consent.page;
  // The site posts a Play request's text itself.
  await openCell(p, 'loopback', { raw: '{"action":"Play","application":"vlc","params":{"files":[{"url":"http://media.invalid/denied.mp4"}]}}' });
  const popup = nextPopup(p);
  await p.click('#raw');
  await answer(await popup, '#deny');
  const result = await cellResult(p);
  assert.equal(result.raw.mirvale, 'error');
  assert.equal(result.raw.error, 'denied');
  assert.match(result.raw.message, new RegExp('did not allow ' + pages.loopback.replace(/[.]/g, '\\.')));
  assert.equal(fs.existsSync(PLAY_RECORD()), false, 'the fake player was started');
  assert.doesNotMatch(serviceLog(), new RegExp('connect page for: ' + pages.loopback.replace(/[.]/g, '\\.')));
});

step('consent: the list of sites revokes an answer', async () => {
  const list = await consent.browser.newPage();
  await list.goto(CONNECT_PAGE);
  const row = `tr[data-origin="${pages.loopback}"]`;
  assert.equal(await list.textContent(row + ' td:nth-child(2)'), 'denied');
  await list.click(row + ' button');
  await list.locator(row).waitFor({ state: 'detached', timeout: REPLY_WAIT });
  await list.close();
});

step('consent: Allow relays byte for byte, Play answers 0, and the answer is remembered', async () => {
  const p = consent.page;
  await openCell(p, 'loopback', { routes: ['connect-page'] });
  const popup = nextPopup(p);
  await p.click('#go');
  // Asked again: the revoked answer is gone.
  await answer(await popup, '#allow');
  const result = await cellResult(p);
  assert.equal(result.route, 'connect-page', result.message);
  assert.equal(result.text, await directReply(p));
  await p.click('#play');
  assert.deepEqual(await cellResult(p, 1), { play: 0 });
  await waitFor('the fake player to record its arguments', () => fs.existsSync(PLAY_RECORD()), REPLY_WAIT);
  fs.rmSync(PLAY_RECORD()); // the demo's Play below waits for a record of its own
  assert.match(serviceLog(), new RegExp('connect page for: ' + pages.loopback.replace(/[.]/g, '\\.')));

  // Next time the window connects without a question.
  await openCell(p, 'loopback', { routes: ['connect-page'] });
  await p.click('#go');
  assert.equal((await cellResult(p)).route, 'connect-page');
});

step('consent: the connect page does not load inside a frame', async () => {
  const p = consent.page;
  await p.goto(pages.loopback + '/frame.html');
  const frame = await waitFor('the frame', () => p.frames().find((f) => f !== p.mainFrame()), REPLY_WAIT);
  await p.waitForLoadState('load');
  assert.equal(await quietly(() => frame.evaluate(() => !!document.getElementById('allow'))) || false, false);
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
  assert.equal(upgradeHeaders.origin, pages.loopback, 'a page sends its own origin');
  findings.push(`handshake from a loopback http page: Origin "${upgradeHeaders.origin}", ` +
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

step('without the certificate accepted, wss says so and links to the certificate page', async (t) => {
  if (trusted) {
    t.skip('the service\'s CA is trusted for this run');
    return;
  }
  const strict = await launch([]);
  try {
    const p = await strict.newPage();
    await p.goto(pages.loopback + '/demo.html');
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

// Tools of the real-player case; a name that is not on PATH leaves the case skipped.
function which(tool) {
  try {
    return execFileSync('sh', ['-c', 'command -v "$0"', tool], { encoding: 'utf8' }).trim();
  } catch (e) {
    return '';
  }
}

// Runs after the service of the cases above has stopped, with a service of its own: a real
// install (no registry file), run as an ordinary user on a virtual display, as a desktop user
// runs it.
step('the demo page\'s Play opens the real VLC on the display', async (t) => {
  const missing = ['vlc', 'Xvfb', 'ffmpeg', 'xdotool', 'setpriv'].filter((tool) => !which(tool));
  if (process.getuid() !== 0 || missing.length) {
    t.skip(process.getuid() !== 0 ? 'VLC refuses root: the service runs as nobody, which needs root'
      : `missing ${missing.join(', ')}: tests/desktop/run.sh installs them`);
    return;
  }
  if ((await Promise.all(PORTS.map(canConnect))).some(Boolean)) {
    t.skip('another process listens on 8142/8143');
    return;
  }
  const cleanup = [];
  try {
    // Everything nobody reads or writes lives in one folder open to it.
    const root = fs.mkdtempSync(path.join(os.tmpdir(), 'mirvale-browser-vlc-'));
    cleanup.push(() => fs.rmSync(root, { recursive: true, force: true }));
    fs.chmodSync(root, 0o755);
    const bin = path.join(root, 'bin');
    fs.mkdirSync(bin);
    for (const [name, mode] of [['mirvale', 0o755], ['server.crt', 0o644], ['server.key', 0o644]]) {
      fs.copyFileSync(path.join(BUILD_DIR, 'bin', name), path.join(bin, name));
      fs.chmodSync(path.join(bin, name), mode);
    }
    const home = path.join(root, 'home');
    fs.mkdirSync(path.join(home, '.config', 'vlc'), { recursive: true });
    fs.writeFileSync(path.join(home, '.config', 'vlc', 'vlcrc'),
      '[qt]\nqt-privacy-ask=0\n[core]\naout=adummy\nvideo-title-show=0\n');
    fs.mkdirSync(path.join(root, 'public'), { mode: 0o777 });
    fs.chmodSync(path.join(root, 'public'), 0o777);
    execFileSync('chown', ['-R', 'nobody:', home]);

    const clip = path.join(root, 'clip.mp4');
    execFileSync('ffmpeg', ['-hide_banner', '-loglevel', 'error', '-f', 'lavfi', '-i',
      'testsrc=size=320x240:rate=25', '-t', '6', '-c:v', 'libx264', '-preset', 'ultrafast',
      '-pix_fmt', 'yuv420p', '-movflags', '+faststart', clip]);
    let clipRequests = 0;
    const media = http.createServer((req, res) => {
      if (req.url === '/clip.mp4') {
        clipRequests++;
        res.writeHead(200, { 'Content-Type': 'video/mp4' });
        res.end(fs.readFileSync(clip));
      } else if (req.url === '/clip.srt') {
        res.writeHead(200, { 'Content-Type': 'application/x-subrip' });
        res.end('1\n00:00:00,000 --> 00:00:06,000\nPlayed from the demo page\n');
      } else {
        res.writeHead(404);
        res.end();
      }
    });
    await new Promise((r) => media.listen(0, '127.0.0.1', r));
    cleanup.push(() => media.close());
    const base = `http://127.0.0.1:${media.address().port}`;

    // A display of its own: Xvfb picks a free number and writes it to its standard output.
    const xvfb = spawn('Xvfb', ['-displayfd', '1', '-screen', '0', '1280x720x24', '-nolisten', 'tcp', '-noreset'],
      { stdio: ['ignore', 'pipe', 'ignore'] });
    cleanup.push(() => xvfb.kill('SIGKILL'));
    let number = '';
    xvfb.stdout.on('data', (d) => { number += d; });
    await waitFor('Xvfb to name its display', () => number.includes('\n'), 20000);
    const display = ':' + number.trim();

    const log = fs.openSync(path.join(tmp, 'mirvale-vlc.log'), 'a');
    const env = { ...process.env, MIRVALE_PUBLIC_DIR: path.join(root, 'public'),
      MIRVALE_CONFIG: path.join(root, 'absent.conf'), DISPLAY: display, HOME: home,
      USER: 'nobody', LOGNAME: 'nobody' };
    for (const name of ['MIRVALE_REGISTRY', 'QT_QPA_PLATFORM', 'WAYLAND_DISPLAY', 'XDG_RUNTIME_DIR']) delete env[name];
    const child = spawn('setpriv', ['--reuid=nobody', '--regid=nogroup', '--init-groups', '--pdeathsig', 'KILL',
      '--', path.join(bin, 'mirvale')], { env, cwd: root, stdio: ['ignore', log, log] });
    fs.closeSync(log);
    const exited = new Promise((resolve) => child.once('exit', resolve));
    cleanup.push(async () => {
      if (child.exitCode === null && child.signalCode === null) {
        child.kill('SIGTERM');
        await exited;
      }
    });
    await waitFor('the service as nobody to listen on 8142 and 8143', async () => {
      if (child.exitCode !== null) throw new Error('mirvale exited early; see mirvale-vlc.log in ' + tmp);
      return PORTS.every((port) => listensOn(child.pid, port));
    }, 30000);

    await connectTo(page, 'ws://127.0.0.1:8142/');
    // mpv too where the desktop group installed it.
    await page.locator('#installed').filter({ hasText: /Installed players: VLC(, mpv)?\./ }).waitFor({ timeout: REPLY_WAIT });
    await page.selectOption('#player', 'vlc');
    await page.fill('#urls', `${base}/clip.mp4`);
    await page.fill('#subtitle', `${base}/clip.srt`);
    await page.uncheck('#opt-fullscreen');
    const results = await page.locator('#results li').count();
    await page.click('#play');
    // Newest first: this Play's item, once its reply has come.
    const reply = await waitFor('the reply to Play', async () => {
      if ((await page.locator('#results li').count()) <= results) return null;
      const text = await page.locator('#results li').first().textContent();
      return /code -?\d/.test(text) && text;
    }, PLAY_WAIT);
    assert.match(reply, /code 0/);

    const window = execFileSync('timeout', ['60', 'xdotool', 'search', '--sync', '--onlyvisible', '--name',
      'VLC media player'], { env: { ...process.env, DISPLAY: display }, encoding: 'utf8' }).split('\n')[0];
    const vlcPid = Number(execFileSync('xdotool', ['getwindowpid', window],
      { env: { ...process.env, DISPLAY: display }, encoding: 'utf8' }).trim());
    cleanup.push(() => { try { process.kill(vlcPid, 'SIGKILL'); } catch (e) { /* ended */ } });
    assert.equal(fs.readlinkSync(`/proc/${vlcPid}/exe`), fs.realpathSync(which('vlc')));
    assert.equal(fs.statSync(`/proc/${vlcPid}`).uid, Number(execFileSync('id', ['-u', 'nobody'], { encoding: 'utf8' })));
    await waitFor('VLC to fetch the clip', () => clipRequests > 0, 30000);

    // Kept for a look, never compared: the display once the clip has played a while.
    await new Promise((r) => setTimeout(r, 2000));
    execFileSync('ffmpeg', ['-hide_banner', '-loglevel', 'error', '-y', '-f', 'x11grab', '-video_size', '1280x720',
      '-i', display, '-frames:v', '1', VLC_SCREENSHOT]);
    t.diagnostic('screenshot of the display: ' + VLC_SCREENSHOT);
  } finally {
    for (const undo of cleanup.reverse()) await undo();
  }
});
