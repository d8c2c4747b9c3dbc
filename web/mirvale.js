// The client of the Mirvale service for web pages: an ES module without dependencies.
//
//   import { connect, ResultCode } from "./mirvale.js";
//   button.onclick = async () => {
//     const client = await connect();          // from the click: see below
//     const info = await client.getinfo();
//     const reply = await client.play({ files: [{ url }] }, "vlc");
//     if (reply.return === ResultCode.STARTED) ...
//   };
//
// connect() tries, in order, a direct WebSocket to wss://127.0.0.1:8143/ (the service's
// certificate is trusted where the package installed it), to ws://127.0.0.1:8142/, and the
// connect page: a window of the service's own that asks the user once whether this site may
// open media, then relays. Browsers keep some pages from this PC's ports (Chromium: a public
// http page always, a public https page until the user grants the local-network permission), so
// call connect() from a click or a key press: only then does it let the browser ask for that
// permission, or open the window.

/** The result codes of a reply's "return". */
export const ResultCode = Object.freeze({
  STARTED: 0,
  NOT_INSTALLED: -1,
  NO_URL: -2,
  PLAYLIST_NOT_WRITTEN: -3,
  NO_FILES: -4,
  UNSUPPORTED: -5,
  LAUNCH_FAILED: -6,
});

/** A failure of connect() or of a request; `code` says which. */
export class MirvaleError extends Error {
  constructor(code, message) {
    super(message);
    this.name = "MirvaleError";
    this.code = code;
  }
}

const DEFAULTS = {
  host: "127.0.0.1",
  plainPort: 8142,
  tlsPort: 8143,
  routes: ["wss", "ws", "connect-page"],
  timeout: 4000,
  protocols: [],
};

function isLoopbackPage() {
  if (typeof location === "undefined" || location.protocol === "file:") return true;
  const host = location.hostname;
  return host === "localhost" || host === "[::1]" || host === "::1" || /^127\.\d+\.\d+\.\d+$/.test(host);
}

// The browser's local-network permission for this page: "granted", "denied", "prompt", or
// "unknown" where the browser has none (its WebSockets are not gated).
async function localNetworkPermission() {
  if (typeof navigator === "undefined" || !navigator.permissions) return "unknown";
  for (const name of ["loopback-network", "local-network-access", "local-network"]) {
    try {
      return (await navigator.permissions.query({ name })).state;
    } catch (e) {
      // not a permission of this browser
    }
  }
  return "unknown";
}

function openSocket(url, protocols, timeout) {
  return new Promise((resolve, reject) => {
    let ws;
    try {
      ws = new WebSocket(url, protocols);
    } catch (e) {
      reject(new MirvaleError("unreachable", url + ": " + e.message));
      return;
    }
    const timer = setTimeout(() => {
      ws.onclose = null;
      ws.close();
      reject(new MirvaleError("timeout", url + ": no answer within " + timeout + " ms"));
    }, timeout);
    ws.onerror = () => {};
    ws.onclose = (event) => {
      clearTimeout(timer);
      // A refused certificate, a closed port and a browser's refusal look alike here.
      reject(new MirvaleError("unreachable", url + ": closed before it opened (code " + event.code + ")"));
    };
    ws.onopen = () => {
      clearTimeout(timer);
      ws.onclose = null;
      resolve(ws);
    };
  });
}

// The requests in flight, answered in the order they were sent (the service answers in order).
class Client {
  constructor(route, url) {
    this.route = route;
    this.url = url;
    this.closed = false;
    this._pending = [];
    this._nextId = 1;
    this._send = null;
    this._close = null;
    this.onclose = null;
  }

  _reply(text) {
    const request = this._pending.shift();
    if (request) request.resolve(text);
  }

  _fail(error) {
    const request = this._pending.shift();
    if (request) request.reject(error);
  }

  _ended(error) {
    if (this.closed) return;
    this.closed = true;
    for (const request of this._pending.splice(0)) request.reject(error);
    if (typeof this.onclose === "function") this.onclose(error);
  }

  /** Sends one request's text; resolves to the reply's text, exactly as the service sent it. */
  requestText(text) {
    if (this.closed) return Promise.reject(new MirvaleError("closed", "the connection is closed"));
    return new Promise((resolve, reject) => {
      this._pending.push({ resolve, reject });
      this._send(String(text));
    });
  }

  /** Sends one request object (an "id" is added when it has none); resolves to the parsed reply. */
  async request(request) {
    const body = { ...request };
    if (!("id" in body)) body.id = this._nextId++;
    const text = await this.requestText(JSON.stringify(body));
    try {
      return JSON.parse(text);
    } catch (e) {
      throw new MirvaleError("bad-reply", "the service's reply is not JSON: " + text.slice(0, 200));
    }
  }

  /** The service's version, the players it drives and which of them are installed. */
  getinfo() {
    return this.request({ action: "Getinfo" });
  }

  /** Opens params.files in the player (its key: "vlc", "potplayer"); resolves to the reply. */
  play(params, application) {
    return this.request({ action: "Play", application, params });
  }

  close() {
    if (this._close) this._close();
    this._ended(new MirvaleError("closed", "the connection is closed"));
  }
}

function directClient(route, ws) {
  const client = new Client(route, ws.url);
  client._send = (text) => ws.send(text);
  client._close = () => ws.close(1000);
  ws.onmessage = (event) => client._reply(event.data);
  ws.onclose = (event) => client._ended(new MirvaleError("closed", "the connection was closed (code " + event.code + ")"));
  return client;
}

function connectPage(url, timeout) {
  const origin = new URL(url).origin;
  const page = window.open(url, "mirvale-connect", "popup,width=520,height=480");
  if (!page) return Promise.reject(new MirvaleError("popup-blocked", "the browser did not open " + url));
  return new Promise((resolve, reject) => {
    const client = new Client("connect-page", url);
    let ready = false;
    let settled = false;
    const stop = () => {
      window.removeEventListener("message", onMessage);
      clearInterval(watch);
      clearTimeout(loading);
    };
    const fail = (error) => {
      stop();
      if (!settled) {
        settled = true;
        reject(error);
      } else {
        client._ended(error);
      }
    };
    const onMessage = (event) => {
      if (event.source !== page || event.origin !== origin) return;
      const data = event.data;
      if (typeof data === "string") {
        client._reply(data);
      } else if (data && data.mirvale === "ready") {
        ready = true;
        clearTimeout(loading);
        page.postMessage({ mirvale: "hello" }, origin);
      } else if (data && data.mirvale === "open" && !settled) {
        settled = true;
        resolve(client);
      } else if (data && data.mirvale === "error") {
        const error = new MirvaleError(data.error, data.message);
        if (settled) client._fail(error); else fail(error);
      } else if (data && data.mirvale === "closed") {
        fail(new MirvaleError(data.reason || "closed", data.message));
      }
    };
    window.addEventListener("message", onMessage);
    // The page loads at once when the service runs; the user's answer may take as long as it takes.
    const loading = setTimeout(() => {
      if (!ready) {
        page.close();
        fail(new MirvaleError("unreachable", url + " did not load within " + timeout + " ms"));
      }
    }, timeout);
    const watch = setInterval(() => {
      if (page.closed) fail(new MirvaleError("closed", "the connect window was closed"));
    }, 500);
    client._send = (text) => page.postMessage(text, origin);
    client._close = () => {
      stop();
      if (!page.closed) {
        page.postMessage({ mirvale: "close" }, origin);
        page.close();
      }
    };
  });
}

/**
 * Connects to the service; resolves to a client whose `route` says how ("wss", "ws" or
 * "connect-page"). Rejects with the last route's MirvaleError when none works.
 */
export async function connect(options = {}) {
  const o = { ...DEFAULTS, ...options };
  // Read before anything is awaited: the browser's permission prompt and the window each need it.
  const gesture = o.userGesture ?? (typeof navigator !== "undefined" && navigator.userActivation
    ? navigator.userActivation.isActive : false);
  const failures = [];
  let direct = true;
  if (!isLoopbackPage()) {
    const permission = await localNetworkPermission();
    if (permission === "denied" || (permission === "prompt" && !gesture)) {
      direct = false;
      failures.push("direct connections: the local-network permission is " + permission
        + (permission === "prompt" ? " and connect() was not called from a user gesture" : ""));
    }
  }
  for (const route of o.routes) {
    const url = route === "wss" ? `wss://${o.host}:${o.tlsPort}/`
      : route === "ws" ? `ws://${o.host}:${o.plainPort}/`
      : route === "connect-page" ? (o.connectPageUrl || `http://${o.host}:${o.plainPort}/connect`) : null;
    if (!url) throw new MirvaleError("bad-option", "unknown route " + route);
    if (route !== "connect-page" && !direct) continue;
    if (route === "connect-page" && !gesture) {
      failures.push("connect page: connect() was not called from a user gesture");
      continue;
    }
    try {
      if (route === "connect-page") return await connectPage(url, o.timeout);
      return directClient(route, await openSocket(url, o.protocols, o.timeout));
    } catch (e) {
      // The user's own "no" is final: trying on would only ask again.
      if (e instanceof MirvaleError && (e.code === "denied" || e.code === "closed")) throw e;
      failures.push(e.message);
    }
  }
  throw new MirvaleError("unreachable", "Mirvale could not be reached: " + failures.join("; "));
}
