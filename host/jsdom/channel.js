// The page's end of the protocol (host/protocol/README.md): the plug-in's process is
// started under Wine with two FIFOs as its standard input and output, and every
// message is a frame read and written synchronously. A request waits for its answer
// and serves the plug-in's nested requests meanwhile, as Firefox's plug-in channel
// did; the page's script runs on inside those, on the one thread.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const childProcess = require('child_process');
const ops = require('../protocol/ops.json');

const {kinds, tags} = ops;
// The exit code of a run whose plug-in process could not be started, as a shell's.
const kCannotStart = 127;

// A message being written: its kind, then fields in order.
class Writer {
  constructor(kind, op) {
    this.parts = [];
    this.u8(kind);
    if (op !== undefined) this.u8(op);
  }
  u8(value) { this.parts.push(Buffer.from([value])); }
  u32(value) {
    const b = Buffer.alloc(4);
    b.writeUInt32LE(value >>> 0);
    this.parts.push(b);
  }
  i32(value) {
    const b = Buffer.alloc(4);
    b.writeInt32LE(value | 0);
    this.parts.push(b);
  }
  f64(value) {
    const b = Buffer.alloc(8);
    b.writeDoubleLE(value);
    this.parts.push(b);
  }
  // A script string as UTF-8; a lone surrogate becomes U+FFFD, as Firefox makes it.
  text(value) {
    const b = Buffer.from(value, 'utf8');
    this.u32(b.length);
    this.parts.push(b);
  }
  bytes() { return Buffer.concat(this.parts); }
}

// A message being read; a field past its end is an error of the other side.
class Reader {
  constructor(body) {
    this.body = body;
    this.at = 0;
  }
  need(n) {
    if (this.at + n > this.body.length) throw new Error('protocol: a message shorter than its fields');
    const at = this.at;
    this.at += n;
    return at;
  }
  u8() { return this.body[this.need(1)]; }
  u32() { return this.body.readUInt32LE(this.need(4)); }
  i32() { return this.body.readInt32LE(this.need(4)); }
  f64() { return this.body.readDoubleLE(this.need(8)); }
  text() {
    const n = this.u32();
    const at = this.need(n);
    return this.body.toString('utf8', at, at + n);
  }
}

function readFully(fd, buffer) {
  let got = 0;
  while (got < buffer.length) {
    let n;
    try {
      n = fs.readSync(fd, buffer, got, buffer.length - got, null);
    } catch (e) {
      if (e.code === 'EAGAIN') continue;
      if (e.code === 'EOF' || e.code === 'EPIPE') return false;
      throw e;
    }
    if (n === 0) return false;
    got += n;
  }
  return true;
}

// The plug-in's process, started with `args`; `serve(op, reader, writer)` answers its
// requests. The FIFOs are held open read-write while the ends are opened, so that
// no open waits for the other side, and closed once the process holds its ends:
// either side's end is then the other's end of input.
class PluginProcess {
  constructor(command, args, serve) {
    this.serve = serve;
    this.onGone = () => {};  // told once when the process is gone
    // The script clock's hold on plug-in time and callbacks; the page sets its own.
    this.clock = {plugin: (f) => f(), callback: (f) => f()};
    this.waiting = 0;  // requests sent whose answers are not read yet
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kelvra-page-'));
    const toPlugin = path.join(this.dir, 'to-plugin');
    const fromPlugin = path.join(this.dir, 'from-plugin');
    childProcess.execFileSync('mkfifo', [toPlugin, fromPlugin]);
    const holdIn = fs.openSync(toPlugin, 'r+');
    const holdOut = fs.openSync(fromPlugin, 'r+');
    this.out = fs.openSync(toPlugin, 'w');
    this.in = fs.openSync(fromPlugin, 'r');
    // Each end of the process's only one way: it sees the end of its input once
    // this process closes its own.
    const childIn = fs.openSync(toPlugin, 'r');
    const childOut = fs.openSync(fromPlugin, 'w');
    fs.closeSync(holdIn);
    fs.closeSync(holdOut);
    this.exited = new Promise((resolve) => {
      this.child = childProcess.spawn(command[0], command.slice(1).concat(args),
                                      {stdio: [childIn, childOut, 'inherit']});
      this.child.on('exit', (code, signal) => resolve(code === null ? 128 + (os.constants.signals[signal] || 0) : code));
      this.child.on('error', (error) => {
        fs.writeSync(2, `host: cannot start the plug-in's process (${command.join(' ')}): ${error.message}\n`);
        resolve(kCannotStart);
      });
    });
    fs.closeSync(childIn);
    fs.closeSync(childOut);
    fs.rmSync(this.dir, {recursive: true, force: true});
    this.open = true;
  }

  send(writer) {
    if (!this.open) return false;
    const body = writer.bytes();
    const head = Buffer.alloc(4);
    head.writeUInt32LE(body.length);
    try {
      fs.writeSync(this.out, Buffer.concat([head, body]));
    } catch (e) {
      this.gone();
      return false;
    }
    return true;
  }

  receive() {
    const head = Buffer.alloc(4);
    if (!this.open || !readFully(this.in, head)) return this.gone();
    const body = Buffer.alloc(head.readUInt32LE(0));
    if (!readFully(this.in, body)) return this.gone();
    return body;
  }

  gone() {
    if (this.open) {
      this.open = false;
      fs.closeSync(this.in);
      fs.closeSync(this.out);
      this.onGone();
    }
    return null;
  }

  answer(body) {
    const reader = new Reader(body);
    const kind = reader.u8();
    const op = reader.u8();
    const writer = new Writer(kinds.answer);
    this.clock.callback(() => this.serve(op, reader, writer));
    if (kind === kinds.request) this.send(writer);  // a notice wants no answer
  }

  // A message of no answer.
  notify(writer) { return this.send(writer); }

  // The frames until one of `kind` (whose reader it answers, after the kind), serving
  // the requests and writing the output that come meanwhile; null once the process is
  // gone.
  until(kind) {
    for (;;) {
      const body = this.receive();
      if (body === null) return null;
      const reader = new Reader(body);
      const got = reader.u8();
      if (got === kind) return reader;
      if (got === kinds.request || got === kinds.notice) this.answer(body);
      if (got === kinds.output) fs.writeSync(reader.u8(), reader.text());
    }
  }

  // What the plug-in's process says of the run before the page's first request; null
  // when the run ended there.
  hello() { return this.until(kinds.hello); }

  // A request's answer, or null once the process is gone.
  request(writer) {
    return this.clock.plugin(() => {
      if (!this.send(writer)) return null;
      ++this.waiting;
      const answer = this.until(kinds.answer);
      --this.waiting;
      return answer;
    });
  }
}

module.exports = {PluginProcess, Reader, Writer, ops, tags};
