// Plays the editor program with the npm `ws` client: connects the side channel and
// the WebSocket as the program's command line says, runs a fixed conversation and
// writes what it saw as JSON to the file named by VGS_WS_LOG.
'use strict';
const fs = require('fs');
const net = require('net');
const WebSocket = require('ws');

const [port, sidePath] = process.argv.slice(2);
const log = { events: [], errors: [] };
const finish = () => {
  fs.writeFileSync(process.env.VGS_WS_LOG, JSON.stringify(log));
  process.exit(0);
};
setTimeout(() => { log.errors.push('timed out'); finish(); }, 20000);

const side = net.createConnection(sidePath);
side.on('error', (e) => log.errors.push('side: ' + e.message));

const ws = new WebSocket('ws://127.0.0.1:' + port + '/');
const queue = [];
let waiting = null;
const next = () => new Promise((resolve) => {
  if (queue.length) resolve(queue.shift()); else waiting = resolve;
});
ws.on('message', (data, isBinary) => {
  const item = { kind: isBinary ? 'binary' : 'text', text: data.toString() };
  if (waiting) { const w = waiting; waiting = null; w(item); } else queue.push(item);
});
ws.on('error', (e) => { log.errors.push('ws: ' + e.message); finish(); });

const take = async (count) => {
  const out = [];
  for (let i = 0; i < count; i++) out.push((await next()).text);
  return out;
};

ws.on('open', async () => {
  log.events.push({ step: 'open', protocol: ws.protocol, extensions: ws.extensions });
  log.events.push({ step: 'initial', messages: await take(6) });

  ws.send('g');
  log.events.push({ step: 'get', messages: await take(6) });

  ws.send('m hello');
  log.events.push({ step: 'echo', messages: await take(1) });

  // Beyond 65535 bytes both directions use the 64-bit length form.
  const long = 'm ' + 'x'.repeat(70000) + 'end';
  ws.send(long);
  const [back] = await take(1);
  log.events.push({ step: 'long', length: back.length, same: back === long });

  ws.send('m frag', { fin: false });
  ws.send('mented', { fin: true });
  log.events.push({ step: 'fragmented', messages: await take(1) });

  ws.send(Buffer.from([1, 2, 3]), { binary: true });
  ws.send('m after binary');
  log.events.push({ step: 'binary dropped', messages: await take(1) });

  ws.ping(Buffer.from('abc'));
  const pong = await new Promise((resolve) => ws.once('pong', (data) => resolve(data.toString())));
  log.events.push({ step: 'pong', payload: pong });

  ws.send('s 3 42c80000');
  log.events.push({ step: 'edit', messages: await take(1) });

  ws.on('close', (code) => {
    log.events.push({ step: 'closed', code });
    finish();
  });
  ws.close(1000, 'done');
});
