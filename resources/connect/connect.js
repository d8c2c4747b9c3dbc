"use strict";
// Relays the requests of the site that opened this window to the service, once the user allowed
// that site. The site posts each request's text; every message it posts gets one answer: the
// reply's text, exactly as the service sent it, or an error object. {mirvale: "hello"} is
// answered {mirvale: "open"} once requests can flow. {mirvale: "closed"} tells the site that
// the relay has ended.

const STORE = "mirvale.sites"; // {origin: "allow" | "deny"}
// The question's buttons wait this long, so that a click aimed at the site's own page cannot land
// on them as the window opens.
const ANSWER_DELAY_MS = 600;

const $ = (id) => document.getElementById(id);
const opener = window.opener;
let site = null;     // the opener's origin, from its first message
let answer = null;   // "allow", "deny" or null while the user has not answered
let socket = null;
let open = false;
let ended = false;
const waiting = [];  // messages of the site that wait for the socket to open

function sites() {
  try {
    const stored = JSON.parse(localStorage.getItem(STORE));
    return stored && typeof stored === "object" ? stored : {};
  } catch (e) {
    return {};
  }
}

function remember(origin, value) {
  const stored = sites();
  if (value) stored[origin] = value; else delete stored[origin];
  localStorage.setItem(STORE, JSON.stringify(stored));
  showSites();
}

function setStatus(kind, text) {
  $("status").className = kind;
  $("status").textContent = text;
}

function post(message) {
  if (site && opener && !opener.closed) opener.postMessage(message, site);
}

function error(code, message) {
  return { mirvale: "error", error: code, message };
}

function end(reason, message) {
  if (ended) return;
  ended = true;
  for (let n = waiting.splice(0).length; n > 0; --n) post(error(reason, message));
  if (socket) socket.close(1000);
  if (open) post({ mirvale: "closed", reason, message });
  open = false;
}

function showSites() {
  const stored = sites();
  const origins = Object.keys(stored).sort();
  const body = $("sites").tBodies[0];
  body.replaceChildren();
  for (const origin of origins) {
    const row = body.insertRow();
    row.dataset.origin = origin;
    row.insertCell().textContent = origin;
    row.insertCell().textContent = stored[origin] === "allow" ? "allowed" : "denied";
    const button = document.createElement("button");
    button.type = "button";
    button.textContent = "Revoke";
    button.addEventListener("click", () => revoke(origin));
    row.insertCell().append(button);
  }
  $("sites").hidden = origins.length === 0;
  $("none").hidden = origins.length !== 0;
}

function revoke(origin) {
  remember(origin, null);
  if (origin === site && answer) {
    answer = null;
    setStatus("bad", "You revoked " + site + ". It will be asked again next time.");
    end("revoked", "The user revoked " + site + "'s permission to open media in the player.");
  }
}

function ask() {
  $("site").textContent = site;
  $("question").hidden = false;
  setStatus("", "Answer below. Your answer is remembered; you can revoke it here later.");
  setTimeout(() => { $("allow").disabled = false; $("deny").disabled = false; }, ANSWER_DELAY_MS);
}

function decide(value, fresh) {
  answer = value;
  $("question").hidden = true;
  if (fresh) remember(site, value);
  if (value === "deny") {
    setStatus("bad", site + " may not open media in your player.");
    for (let n = waiting.splice(0).length; n > 0; --n) post(denied());
    return;
  }
  setStatus("", "Connecting " + site + " to the service…");
  const scheme = location.protocol === "https:" ? "wss://" : "ws://";
  // The service applies its allowed origins to the site, which this argument names.
  socket = new WebSocket(scheme + location.host + "/?origin=" + encodeURIComponent(site));
  socket.onopen = () => {
    open = true;
    setStatus("ok", "Connected: " + site + " may open media in your player. Keep this window open while you use it.");
    for (const m of waiting.splice(0)) relay(m);
  };
  socket.onmessage = (event) => post(event.data);
  socket.onclose = () => {
    if (ended) return;
    if (!open) {
      setStatus("bad", "The service did not accept the connection.");
      end("refused", "The service did not accept the connection: it is not running, or its settings do not allow " + site + ".");
    } else {
      setStatus("bad", "The connection to the service was lost.");
      end("closed", "The connection to the service was lost.");
    }
  };
}

function denied() {
  return error("denied", "The user did not allow " + site + " to open media in the player.");
}

function relay(message) {
  if (message === "hello") post({ mirvale: "open" });
  else socket.send(message);
}

function receive(message) {
  if (ended) post(error("closed", "The relay has ended; connect again."));
  else if (answer === "deny") post(denied());
  else if (open) relay(message);
  else waiting.push(message);
}

window.addEventListener("message", (event) => {
  if (!opener || event.source !== opener) return;
  if (site === null) {
    // A page without an origin (a file, a sandbox) cannot be answered at its exact origin.
    if (event.origin === "null") {
      setStatus("bad", "A page without an origin cannot use this window.");
      return;
    }
    site = event.origin;
    const stored = sites()[site];
    if (stored === "allow" || stored === "deny") decide(stored, false); else ask();
  } else if (event.origin !== site) {
    return; // the opener has moved on to another site, which the user did not answer for
  }
  const data = event.data;
  if (typeof data === "string") receive(data);
  else if (data && data.mirvale === "hello") receive("hello");
  else if (data && data.mirvale === "close") { end("closed", "The site closed the connection."); window.close(); }
  else post(error("bad-message", "Post the request's text as a string."));
});

$("allow").addEventListener("click", () => decide("allow", true));
$("deny").addEventListener("click", () => decide("deny", true));
window.addEventListener("storage", (event) => {
  if (event.key !== STORE) return;
  showSites();
  if (site && answer && sites()[site] !== answer) revoke(site);
});
setInterval(() => { if (opener && opener.closed) end("closed", "The site's window has closed."); }, 1000);

showSites();
if (window.top !== window) {
  document.body.replaceChildren(); // never answered inside a frame (the headers forbid one too)
} else if (opener) {
  // Carries nothing: the site learns only that the page has loaded and may now post to it.
  opener.postMessage({ mirvale: "ready" }, "*");
} else {
  setStatus("", "Open this window from a site to connect it. Here you can revoke the sites you answered.");
}
