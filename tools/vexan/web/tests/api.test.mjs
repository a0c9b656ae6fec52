// The dashboard's JSON API and event stream against a live `vexan serve
// --http` on a simulated bus (loopback only).
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { spawnSync } from 'node:child_process';
import { startBus, get, post, request, openStream, edsDir, until, tool } from './harness.mjs';

const edsFile = path.join(edsDir, 'technosoft_isd860.eds');
const productName = fs.readFileSync(edsFile, 'latin1').match(/^ProductName=(.*)$/m)[1].trim();

describe('vexan serve --sim --http', () => {
  let bus;
  before(async () => { bus = await startBus({ sim: true }); });
  after(async () => { await bus?.stop(); });

  test('serves the page and its files from the program', async () => {
    for (const [file, type] of [['/', 'text/html'], ['/app.js', 'text/javascript'], ['/style.css', 'text/css'],
      ['/uPlot.iife.min.js', 'text/javascript'], ['/uPlot.min.css', 'text/css']]) {
      const r = await get(bus, file);
      assert.equal(r.status, 200, file);
      assert.ok(r.headers['content-type'].startsWith(type), `${file}: ${r.headers['content-type']}`);
      assert.ok(r.text.length > 100, file);
    }
    assert.equal((await get(bus, '/nothing.js')).status, 404);
    assert.equal((await get(bus, '/../etc/passwd')).status, 404);
  });

  test('info, boards and the default nodes', async () => {
    const info = await get(bus, '/api/info');
    assert.equal(info.status, 200);
    assert.equal(info.json.read_only, false);
    assert.equal(typeof info.json.library, 'number');
    const { boards } = (await get(bus, '/api/boards')).json;
    assert.equal(boards.length, 1);
    assert.deepEqual([boards[0].net, boards[0].slot, boards[0].master_id, boards[0].source], [1, 0, 1, 'simulator']);
    assert.equal(boards[0].firmware, '1.2');
    assert.equal(boards[0].can.state_name, 'error active');
    const { nodes } = (await get(bus, '/api/boards/1/nodes')).json;
    assert.deepEqual(nodes.map((n) => [n.node, n.state, n.state_name]), [[5, 127, 'pre-operational'], [6, 127, 'pre-operational']]);
  });
});

describe('dashboard API on a simulated bus', () => {
  let bus;
  before(async () => { bus = await startBus({ nodes: '5,6', eds: [{ file: edsFile, node: 10 }] }); });
  after(async () => { await bus?.stop(); });

  test('nodes carry the device name of an attached device file', async () => {
    const { nodes } = (await get(bus, '/api/boards/1/nodes')).json;
    const node10 = nodes.find((n) => n.node === 10);
    assert.equal(node10.device_name, productName);
    assert.equal(node10.has_model, true);
    assert.equal(nodes.find((n) => n.node === 5).has_model, false);
  });

  test('objects of a node with a device file; none without', async () => {
    const r = await get(bus, '/api/boards/1/nodes/10/objects');
    assert.equal(r.status, 200);
    assert.equal(r.json.device_name, productName);
    const hb = r.json.entries.find((e) => e.index === 0x1017 && e.subindex === 0);
    assert.deepEqual([hb.type, hb.access, hb.datatype], ['u16', 'rw', 6]);
    assert.ok(r.json.entries.length > 50);
    const none = await get(bus, '/api/boards/1/nodes/5/objects');
    assert.equal(none.status, 404);
    assert.match(none.json.error, /no device file/);
  });

  test('typed SDO read and write, with and without a device file', async () => {
    const id = await get(bus, '/api/boards/1/nodes/5/sdo/1018/01?type=u32');
    assert.equal(id.status, 200, id.text);
    assert.equal(id.json.type, 'u32');
    assert.equal(typeof id.json.value, 'number');
    assert.equal(id.json.hex.split(' ').length, 4);
    // Without a type and without a device file: the bytes.
    const raw = await get(bus, '/api/boards/1/nodes/5/sdo/0x1018/1');
    assert.equal(raw.json.type, 'hex');
    assert.equal(raw.json.value, id.json.hex);
    // The model gives the type; the write lands in the node and reads back.
    const w = await post(bus, '/api/boards/1/nodes/10/sdo/1017/0', { value: 1500 });
    assert.equal(w.status, 200, w.text);
    assert.equal(w.json.hex, 'DC 05');
    const back = await get(bus, '/api/boards/1/nodes/10/sdo/1017/0');
    assert.deepEqual([back.json.value, back.json.type, back.json.name], [1500, 'u16', 'Producer Heartbeat Time']);
    // A string value and a hex type on a node without a model.
    const w2 = await post(bus, '/api/boards/1/nodes/5/sdo/6200/1', { value: '0x2A', type: 'u8' });
    assert.equal(w2.status, 200, w2.text);
    assert.equal((await get(bus, '/api/boards/1/nodes/5/sdo/6200/1?type=x8')).json.text, '0x2A');
  });

  test('writes the checks refuse never reach the node', async () => {
    const cases = [
      // [path, body, status, message pattern]
      ['/api/boards/1/nodes/10/sdo/1000/0', { value: 1 }, 400, /read-only|ro/],
      ['/api/boards/1/nodes/10/sdo/1600/0', { value: 65 }, 400, /limit/],
      ['/api/boards/1/nodes/10/sdo/1017/0', { value: 70000 }, 400, /outside|range/],
      ['/api/boards/1/nodes/10/sdo/1017/0', { value: 'ten' }, 400, /number/],
      ['/api/boards/1/nodes/10/sdo/1017/0', { value: 1, type: 'u32' }, 400, /does not fit/],
      ['/api/boards/1/nodes/5/sdo/6200/1', { value: 1 }, 400, /give "type"/],
      ['/api/boards/1/nodes/5/sdo/6200/1', { value: 256, type: 'u8' }, 400, /outside/],
      ['/api/boards/1/nodes/5/sdo/6200/1', { value: 1, type: 'u9' }, 400, /unknown data type/],
    ];
    const before = (await get(bus, '/api/boards/1/nodes/10/sdo/1017/0')).json.value;
    for (const [p, body, status, pattern] of cases) {
      const r = await post(bus, p, body);
      assert.equal(r.status, status, `${p} ${JSON.stringify(body)}: ${r.text}`);
      assert.match(r.json.error, pattern, `${p} ${JSON.stringify(body)}`);
    }
    assert.equal((await get(bus, '/api/boards/1/nodes/10/sdo/1017/0')).json.value, before);
  });

  test('an abort of the node comes back with its code and meaning', async () => {
    const r = await get(bus, '/api/boards/1/nodes/5/sdo/3000/0?type=u8');
    assert.equal(r.status, 502);
    assert.equal(r.json.abort_hex, '0x06020000');
    assert.equal(r.json.abort_meaning, 'object does not exist in the object dictionary');
    assert.equal(r.json.result.name, 'VEXAN_SDO_ABORTED');
  });

  test('bad requests: malformed bodies, wrong types, unknown nets and nodes', async () => {
    const cases = [
      // [method, path, body (string: sent raw), status]
      ['POST', '/api/boards/1/nodes/5/nmt', '{"command": "start"', 400],
      ['POST', '/api/boards/1/nodes/5/nmt', '["start"]', 400],
      ['POST', '/api/boards/1/nodes/5/nmt', { command: 1 }, 400],
      ['POST', '/api/boards/1/nodes/5/nmt', { command: 'dance' }, 400],
      ['POST', '/api/boards/1/nodes/5/nmt', {}, 400],
      ['POST', '/api/boards/1/nodes/5/sdo/6200/1', { value: { n: 1 }, type: 'u8' }, 400],
      ['POST', '/api/boards/1/nodes/5/sdo/6200/1', { value: [1], type: 'u8' }, 400],
      ['POST', '/api/boards/1/nodes/5/sdo/6200/1', { value: 1, type: 8 }, 400],
      ['POST', '/api/boards/1/nodes/5/sdo/6200/1', { type: 'u8' }, 400],
      ['POST', '/api/boards/1/nodes/5/pdos', { number: 'one' }, 400],
      ['POST', '/api/boards/1/nodes/5/pdos', { number: 0 }, 400],
      ['POST', '/api/boards/1/sync', 'null', 400],
      ['GET', '/api/boards/1/nodes/5/sdo/12345/0', undefined, 400],
      ['GET', '/api/boards/1/nodes/5/sdo/1018/100', undefined, 400],
      ['GET', '/api/boards/1/nodes/5/sdo/zz/0', undefined, 400],
      ['GET', '/api/boards/1/nodes/99/sdo/1018/1', undefined, 404],
      ['GET', '/api/boards/1/nodes/200/objects', undefined, 404],
      ['GET', '/api/boards/1/nodes/0/objects', undefined, 404],
      ['POST', '/api/boards/1/nodes/99/nmt', { command: 'start' }, 404],
      ['GET', '/api/boards/2/nodes', undefined, 404],
      ['GET', '/api/boards/x/nodes', undefined, 404],
      ['POST', '/api/boards/9/sync', {}, 404],
      ['GET', '/api/boards/1/pdo?cob=0x800', undefined, 400],
      ['GET', '/api/boards/1/pdo?cob=', undefined, 400],
      ['GET', '/api/boards/1/pdo/stream?cob=0x185&period_ms=1', undefined, 400],
      ['GET', '/api/events/recent?after=x', undefined, 400],
    ];
    for (const [method, p, body, status] of cases) {
      const r = await request(bus, method, p, { body });
      assert.equal(r.status, status, `${method} ${p} ${JSON.stringify(body)}: ${r.text}`);
      assert.equal(typeof r.json.error, 'string', `${method} ${p}: ${r.text}`);
    }
  });

  test('cross-site and non-JSON POSTs are refused before anything is done', async () => {
    const before = (await get(bus, '/api/boards/1/nodes')).json.nodes.find((n) => n.node === 6).state;
    const cases = [
      [{ Origin: 'http://evil.example' }, 403],
      [{ Origin: 'null' }, 403],
      [{ Origin: 'http://127.0.0.1:1' }, 403],
      [{ 'Sec-Fetch-Site': 'cross-site' }, 403],
      [{ 'Content-Type': 'text/plain' }, 415],
      [{ 'Content-Type': 'application/x-www-form-urlencoded' }, 415],
      [{ Host: 'rebound.example:80' }, 403],
    ];
    for (const [headers, status] of cases) {
      const r = await post(bus, '/api/boards/1/nodes/6/nmt', { command: 'stop' }, { headers });
      assert.equal(r.status, status, `${JSON.stringify(headers)}: ${r.text}`);
    }
    // Same origin, as the page sends it, passes.
    const ok = await post(bus, '/api/boards/1/nodes/6/nmt', { command: 'preop' },
      { headers: { Origin: `http://127.0.0.1:${bus.port}`, 'Sec-Fetch-Site': 'same-origin' } });
    assert.equal(ok.status, 200, ok.text);
    assert.equal((await get(bus, '/api/boards/1/nodes')).json.nodes.find((n) => n.node === 6).state, before);
  });

  test('a body over the size limit is refused', async () => {
    const r = await post(bus, '/api/boards/1/nodes/5/sdo/6200/1', { value: 'x'.repeat(20000), type: 'string' });
    assert.equal(r.status, 413);
  });

  test('NMT commands change the node state the API shows', async () => {
    assert.equal((await post(bus, '/api/boards/1/nodes/5/nmt', { command: 'start' })).status, 200);
    await until(async () => (await get(bus, '/api/boards/1/nodes')).json.nodes.find((n) => n.node === 5).state === 5,
      20000, 'node 5 operational');
    assert.equal((await post(bus, '/api/boards/1/nodes/5/nmt', { command: 'preop' })).status, 200);
    await until(async () => (await get(bus, '/api/boards/1/nodes')).json.nodes.find((n) => n.node === 5).state === 127,
      20000, 'node 5 pre-operational');
  });

  test('the event stream delivers boot-ups, EMCYs and state changes', async () => {
    const stream = openStream(bus, '/api/events');
    try {
      await stream.opened;
      assert.equal(stream.status, 200);
      bus.control('bootup 6');
      const boot = await stream.next((e) => e.data.kind === 'bootup' && e.data.node === 6, 30000);
      assert.equal(boot.data.net, 1);
      assert.ok(boot.id > 0);
      bus.control('emcy 5 10 81 11 00 00 00 00 00');
      const emcy = await stream.next((e) => e.data.kind === 'emcy' && e.data.node === 5, 30000);
      assert.deepEqual([emcy.data.emcy.code_hex, emcy.data.emcy.meaning], ['0x8110', 'CAN overrun (objects lost)']);
      assert.deepEqual(emcy.data.emcy.error_register_bits, ['generic', 'communication']);
      assert.equal(emcy.data.emcy.error_register_hex, '0x11');
      // The node list shows the last EMCY too.
      const node5 = (await get(bus, '/api/boards/1/nodes')).json.nodes.find((n) => n.node === 5);
      assert.equal(node5.last_emcy.code_hex, '0x8110');
      assert.equal((await post(bus, '/api/boards/1/nodes/6/nmt', { command: 'start' })).status, 200);
      const change = await stream.next((e) => e.data.kind === 'nmt_state' && e.data.node === 6 && e.data.state === 5, 30000);
      assert.equal(change.data.state_name, 'operational');
      // A client that comes back names the last event it saw and gets what followed.
      const again = openStream(bus, '/api/events', { 'Last-Event-ID': String(boot.id) });
      try {
        const replayed = await again.next((e) => e.data.kind === 'emcy', 30000);
        assert.equal(replayed.id, emcy.id);
        assert.ok(again.events.every((e) => e.id > boot.id));
      } finally { again.close(); }
    } finally { stream.close(); }
    const recent = (await get(bus, `/api/events/recent?after=0`)).json.events;
    assert.ok(recent.some((e) => e.kind === 'emcy' && e.node === 5));
  });

  test('a transmit PDO installed, SYNCs sent, its fields sampled', async () => {
    // SYNC-driven (transmission type 1), then installed from the node's own objects.
    assert.equal((await post(bus, '/api/boards/1/nodes/5/sdo/1800/2', { value: 1, type: 'u8' })).status, 200);
    const install = await post(bus, '/api/boards/1/nodes/5/pdos', { number: 1 });
    assert.equal(install.status, 200, install.text);
    assert.equal(install.json.cob_hex, '0x185');
    const list = (await get(bus, '/api/boards/1/nodes/5/pdos')).json.tpdos;
    const tpdo = list.find((p) => p.cob === 0x185);
    assert.equal(tpdo.fields.length, 4);
    assert.deepEqual(tpdo.fields.map((f) => [f.index_hex, f.sub, f.bits]),
      [['0x6000', 1, 8], ['0x6000', 2, 8], ['0x6000', 3, 8], ['0x6000', 4, 8]]);
    const stream = openStream(bus, '/api/boards/1/pdo/stream?cob=0x185&period_ms=50');
    try {
      const mapping = await stream.next((e) => e.event === 'mapping', 30000);
      assert.equal(mapping.data.pdos[0].fields.length, 4);
      assert.equal((await post(bus, '/api/boards/1/nodes/5/nmt', { command: 'start' })).status, 200);
      await until(async () => (await get(bus, '/api/boards/1/nodes')).json.nodes.find((n) => n.node === 5).state === 5, 20000, 'operational');
      assert.equal((await post(bus, '/api/boards/1/sync', {})).status, 200);
      const sample = await stream.next((e) => e.event === 'message' && e.data.pdos[0].received, 30000);
      assert.deepEqual(sample.data.pdos[0].values, [0, 0, 0, 0]);
      // A PDO the node sends on its own is sampled with its values.
      bus.control('node-pdo 0x185 01 02 03 04');
      const moved = await stream.next((e) => e.event === 'message' && e.data.pdos[0].values?.[3] === 4, 30000);
      assert.deepEqual(moved.data.pdos[0].values, [1, 2, 3, 4]);
    } finally { stream.close(); }
    const once = await get(bus, '/api/boards/1/pdo?cob=0x185');
    assert.equal(once.status, 200);
    assert.deepEqual(once.json.pdos[0].values, [1, 2, 3, 4]);
  });
});

describe('a read-only server with a client limit', () => {
  let bus;
  before(async () => { bus = await startBus({ sim: true, serveArgs: ['--read-only', '--max-clients', '2'] }); });
  after(async () => { await bus?.stop(); });

  test('refuses writes, NMT and SYNC, and still reads', async () => {
    assert.equal((await get(bus, '/api/info')).json.read_only, true);
    for (const [p, body] of [['/api/boards/1/nodes/5/sdo/6200/1', { value: 1, type: 'u8' }],
      ['/api/boards/1/nodes/5/nmt', { command: 'start' }], ['/api/boards/1/sync', {}], ['/api/boards/1/nodes/5/pdos', { number: 1 }]]) {
      const r = await post(bus, p, body);
      assert.equal(r.status, 403, p);
      assert.match(r.json.error, /read-only/);
    }
    assert.equal((await get(bus, '/api/boards/1/nodes/5/sdo/1018/1?type=u32')).status, 200);
    assert.equal((await get(bus, '/api/boards/1/nodes')).json.nodes.find((n) => n.node === 5).state, 127);
  });

  test('refuses the stream over the limit and takes one again when a client leaves', async () => {
    const a = openStream(bus, '/api/events');
    const b = openStream(bus, '/api/events');
    try {
      await a.opened; await b.opened;
      assert.deepEqual([a.status, b.status], [200, 200]);
      const c = await get(bus, '/api/events');
      assert.equal(c.status, 503);
      assert.match(c.json.error, /too many clients/);
      // Plain requests are served all the same.
      assert.equal((await get(bus, '/api/boards')).status, 200);
      a.close();
      await until(async () => {
        const d = openStream(bus, '/api/events');
        await d.opened.catch(() => {});
        const status = d.status;
        d.close();
        return status === 200;
      }, 30000, 'a stream taken again');
    } finally { a.close(); b.close(); }
  });
});

test('vexan serve refuses a dashboard address it cannot serve safely', () => {
  const cases = [
    // [arguments, what stderr says]
    [['--http', '0.0.0.0:18080'], /reaches the network: name the peers allowed with --allow/],
    [['--http', '0.0.0.0:18080', '--allow', '300.1.2.3/8'], /--allow: /],
    [['--http', 'nowhere'], /--http wants ADDR:PORT/],
    [['--http', '127.0.0.1:99999'], /--http wants ADDR:PORT/],
  ];
  for (const [args, pattern] of cases) {
    const r = spawnSync(tool, ['serve', '--sim', '--no-socket', ...args], { encoding: 'utf8', timeout: 60000 });
    assert.equal(r.status, 2, `${args.join(' ')}: ${r.stderr}`);
    assert.match(r.stderr, pattern, args.join(' '));
  }
});
