// A simulated bus behind a live `vexan serve --http` for the API and browser
// tests: vexan-sim on a pseudo-terminal (driven through its control channel
// on stdin: boot-ups, EMCYs, PDOs) and `vexan serve --port <pty>` on a free
// loopback port, or `vexan serve --sim` alone. Every wait is bounded, and
// stop() ends both processes.
import { spawn } from 'node:child_process';
import http from 'node:http';
import { once } from 'node:events';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const root = path.resolve(here, '../../../..');
export const tool = process.env.VEXAN_TOOL || path.join(root, 'build/tools/vexan/vexan');
export const simulator = process.env.VEXAN_SIM || path.join(root, 'build/sim/vexan-sim');
export const edsDir = process.env.VEXAN_EDS_DIR || path.resolve(root, '../shared/eds');

// Resolves with the first line of `stream` that matches, or rejects after `ms`.
function waitForLine(stream, pattern, ms, what) {
  return new Promise((resolve, reject) => {
    let text = '';
    const timer = setTimeout(() => { stream.off('data', onData); reject(new Error(`${what}: nothing after ${ms} ms:\n${text}`)); }, ms);
    timer.unref();
    function onData(chunk) {
      text += chunk;
      const match = text.match(pattern);
      if (match) { clearTimeout(timer); stream.off('data', onData); resolve(match); }
    }
    stream.setEncoding('utf8');
    stream.on('data', onData);
  });
}

async function stopProcess(child, signal = 'SIGTERM') {
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  child.kill(signal);
  const timer = setTimeout(() => child.kill('SIGKILL'), 10000);
  await once(child, 'exit');
  clearTimeout(timer);
}

// Options: nodes (default devices, "5,6"), eds ([{file, node}]), serveArgs (more
// arguments of vexan serve), sim (true: `vexan serve --sim` alone).
export async function startBus(options = {}) {
  const bus = { log: '' };
  const serveArgs = ['serve', '--no-socket', '--http', '127.0.0.1:0', ...(options.serveArgs || [])];
  if (options.sim) {
    serveArgs.splice(1, 0, '--sim');
  } else {
    const simArgs = ['--nodes', options.nodes || '5,6'];
    for (const e of options.eds || []) simArgs.push('--eds', `${e.file}@${e.node}`);
    bus.sim = spawn(simulator, simArgs, { stdio: ['pipe', 'pipe', 'pipe'] });
    bus.sim.stderr.setEncoding('utf8');
    bus.sim.stderr.on('data', (t) => { bus.log += t; });
    const [, pty] = await waitForLine(bus.sim.stdout, /^(\S+)\n/, 10000, 'vexan-sim');
    serveArgs.push('--port', pty);
    for (const e of options.eds || []) serveArgs.push('--eds', `${e.node}=${e.file}`);
  }
  // The module's identification has a short window that a busy machine can
  // miss: a server that could not start its board (exit status 3) is started
  // again, a few times.
  for (let attempt = 1; ; ++attempt) {
    bus.log = '';
    bus.stopping = false;
    bus.serve = spawn(tool, serveArgs, { stdio: ['ignore', 'ignore', 'pipe'] });
    const exited = once(bus.serve, 'exit').then(([code]) => { throw Object.assign(new Error(`vexan serve exited (${code})`), { code }); });
    const ready = waitForLine(bus.serve.stderr, /dashboard on (http:\/\/\S+\/)/, 60000, 'vexan serve');
    bus.serve.stderr.on('data', (t) => { bus.log += t; });
    try {
      const [, url] = await Promise.race([ready, exited]);
      exited.catch(() => {});
      ready.catch(() => {});
      bus.url = url;
      bus.port = Number(new URL(url).port);
      break;
    } catch (e) {
      exited.catch(() => {});
      ready.catch(() => {});
      await stopProcess(bus.serve);
      if (e.code === 3 && attempt < 4) continue;
      await stopProcess(bus.sim);
      throw new Error(`${e.message}\n${bus.log}`);
    }
  }
  // A server that ends before it is told to shows why (a sanitizer's report among others).
  bus.serve.on('exit', (code, signal) => {
    if (!bus.stopping) console.log(`vexan serve ended by itself (${signal || code}):\n${bus.log}`);
  });
  // A control line for vexan-sim ("bootup 5", "emcy 5 10 81 11 00 00 00 00 00").
  bus.control = (line) => {
    if (!bus.sim) throw new Error('no vexan-sim behind a --sim server');
    bus.sim.stdin.write(line + '\n');
  };
  // Stops both; a server that did not end cleanly on SIGTERM (status 0: every
  // board shut down, nothing a sanitizer reports) fails the stop with its log.
  bus.stop = async () => {
    bus.stopping = true;
    await stopProcess(bus.serve);
    if (bus.sim) { bus.sim.stdin.end(); await stopProcess(bus.sim); }
    if (bus.serve.exitCode !== 0) {
      throw new Error(`vexan serve ended with ${bus.serve.exitCode ?? bus.serve.signalCode}:\n${bus.log}`);
    }
  };
  return bus;
}

// One HTTP request with full control of the headers; resolves with
// { status, headers, text, json }.
export function request(bus, method, urlPath, { headers = {}, body } = {}) {
  return new Promise((resolve, reject) => {
    const data = body === undefined ? undefined : (typeof body === 'string' ? body : JSON.stringify(body));
    const all = { Host: `127.0.0.1:${bus.port}`, ...headers };
    if (data !== undefined && !Object.keys(all).some((k) => k.toLowerCase() === 'content-type')) all['Content-Type'] = 'application/json';
    if (data !== undefined) all['Content-Length'] = Buffer.byteLength(data);
    const req = http.request({ host: '127.0.0.1', port: bus.port, method, path: urlPath, headers: all, timeout: 30000 }, (res) => {
      let text = '';
      res.setEncoding('utf8');
      res.on('data', (c) => { text += c; });
      res.on('end', () => {
        let json = null;
        try { json = JSON.parse(text); } catch (e) { /* not JSON */ }
        resolve({ status: res.statusCode, headers: res.headers, text, json });
      });
    });
    req.on('timeout', () => req.destroy(new Error(`${method} ${urlPath}: no answer`)));
    req.on('error', reject);
    if (data !== undefined) req.write(data);
    req.end();
  });
}

export const get = (bus, p, o) => request(bus, 'GET', p, o);
export const post = (bus, p, body, o = {}) => request(bus, 'POST', p, { ...o, body });

// A server-sent event stream: next(predicate, ms) resolves with the first
// event (parsed data, with its id and event name) that passes, or rejects
// after ms. close() ends it.
export function openStream(bus, urlPath, headers = {}) {
  const events = [];
  const waiters = [];
  let status = 0;
  const req = http.get({ host: '127.0.0.1', port: bus.port, path: urlPath, headers: { Host: `127.0.0.1:${bus.port}`, ...headers } });
  const opened = new Promise((resolve, reject) => {
    req.on('response', (res) => {
      status = res.statusCode;
      let buffer = '';
      res.setEncoding('utf8');
      res.on('data', (chunk) => {
        buffer += chunk;
        let cut;
        while ((cut = buffer.indexOf('\n\n')) >= 0) {
          const block = buffer.slice(0, cut);
          buffer = buffer.slice(cut + 2);
          const e = { event: 'message' };
          let data = '';
          for (const line of block.split('\n')) {
            if (line.startsWith('data: ')) data += line.slice(6);
            else if (line.startsWith('id: ')) e.id = Number(line.slice(4));
            else if (line.startsWith('event: ')) e.event = line.slice(7);
          }
          if (!data) continue;
          try { e.data = JSON.parse(data); } catch (err) { e.data = data; }
          events.push(e);
          for (const w of [...waiters]) w.check();
        }
      });
      resolve(res);
    });
    req.on('error', (e) => { if (status === 0) reject(e); });
  });
  return {
    opened,
    get status() { return status; },
    events,
    next(predicate, ms = 10000) {
      return new Promise((resolve, reject) => {
        const w = {
          check() {
            const found = events.find(predicate);
            if (found) { clearTimeout(w.timer); waiters.splice(waiters.indexOf(w), 1); resolve(found); }
          },
        };
        w.timer = setTimeout(() => { waiters.splice(waiters.indexOf(w), 1); reject(new Error(`no such event in ${ms} ms; got ${JSON.stringify(events.map((x) => x.data)).slice(0, 2000)}`)); }, ms);
        waiters.push(w);
        w.check();
      });
    },
    close() { req.destroy(); },
  };
}

// Polls fn until it returns a truthy value (bounded).
export async function until(fn, ms = 10000, what = 'condition') {
  const end = Date.now() + ms;
  for (;;) {
    const value = await fn();
    if (value) return value;
    if (Date.now() > end) throw new Error(`${what}: not reached in ${ms} ms`);
    await new Promise((r) => setTimeout(r, 50));
  }
}
