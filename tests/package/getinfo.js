// Sends one Getinfo and prints the reply.
// Usage: node getinfo.js URL [CA_FILE]
// With CA_FILE the server's certificate must verify against it (name 127.0.0.1 included).
'use strict';

const fs = require('node:fs');
const WebSocket = require('ws');

const [url, caFile] = process.argv.slice(2);
const options = { handshakeTimeout: 30000 };
if (caFile) {
  options.ca = fs.readFileSync(caFile);
  options.rejectUnauthorized = true;
}

const ws = new WebSocket(url, options);
const timer = setTimeout(() => fail('no reply within 30 s'), 30000);

function fail(why) {
  console.error(`${url}: ${why}`);
  process.exit(1);
}

ws.on('open', () => ws.send(JSON.stringify({ action: 'Getinfo', id: 'package-test' })));
ws.on('message', (data) => {
  clearTimeout(timer);
  console.log(data.toString());
  ws.close();
});
ws.on('error', (e) => fail(e.message));
