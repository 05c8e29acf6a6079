// The script time-out. It counts the page's own time only: the clock stops while the
// page waits for the plug-in and runs again while the plug-in calls script back, so
// a slow plug-in call is the watchdog's (--timeout) and a callback that never ends is
// the page's. vm's own time-out cannot stop for the plug-in, so a watching thread
// interrupts the script as Ctrl-C does (scripts run with breakOnSigint), and the
// interruption is told apart from a real Ctrl-C by the clock's state.
'use strict';
const {Worker} = require('worker_threads');

const kIdle = 0, kRunning = 1, kPaused = 2, kFired = 3;
const kLandingMs = 10000;
// Where the page naps while it waits for a signal (nothing wakes it).
const nap = new Int32Array(new SharedArrayBuffer(4));

// The watching thread: while the clock runs, it waits for the deadline (or for the
// clock's next change) and, past it, fires once.
const watcher = `
const {workerData: {shared, pid}} = require('worker_threads');
const state = new Int32Array(shared, 0, 1), deadline = new Float64Array(shared, 8, 1);
for (;;) {
  const s = Atomics.load(state, 0);
  if (s !== ${kRunning}) { Atomics.wait(state, 0, s); continue; }
  const left = deadline[0] - Date.now();
  if (left > 0) { Atomics.wait(state, 0, s, left); continue; }
  if (Atomics.compareExchange(state, 0, ${kRunning}, ${kFired}) === ${kRunning}) process.kill(pid, 'SIGINT');
}`;

class ScriptClock {
  constructor(seconds) {
    this.limit = seconds * 1000;
    this.depth = 0;
    this.left = 0;
    this.restopping = false;
    this.state = new Int32Array(new SharedArrayBuffer(16), 0, 1);
    this.deadline = new Float64Array(this.state.buffer, 8, 1);
    if (this.limit > 0) {
      new Worker(watcher, {eval: true, workerData: {shared: this.state.buffer, pid: process.pid}})
        .unref();
    }
  }

  get fired() { return Atomics.load(this.state, 0) === kFired; }

  set(state) {
    Atomics.store(this.state, 0, state);
    Atomics.notify(this.state, 0);
  }

  run(ms) {
    this.deadline[0] = Date.now() + ms;
    this.set(kRunning);
  }

  // From running to paused; false when it was not running. Once fired, the
  // interruption is on its way: it lands here, before the page sends anything more.
  pause() {
    const left = this.deadline[0] - Date.now();
    const was = Atomics.compareExchange(this.state, 0, kRunning, kPaused);
    if (was === kFired) this.landing();
    if (was !== kRunning) return false;
    this.left = left;
    Atomics.notify(this.state, 0);
    return true;
  }

  // Around the page's outermost script or task. Its end idles the clock (a script
  // stopped inside left no pairs to close); a clock that fired stays so until the next
  // script, for the stop's report and for its signal, which may come after the end.
  script(f) {
    if (this.depth++ === 0 && this.limit > 0) this.run(this.limit);
    try {
      return f();
    } finally {
      if (--this.depth === 0 && this.limit > 0 && !this.fired) this.set(kIdle);
    }
  }

  // A stop inside a script or task that another one runs (a listener of dispatchEvent,
  // a document.write's script) stops the ones under it too, as a browser stops the
  // whole script: their runs are interrupted the same way, before a further statement
  // of theirs runs.
  stopOuter() {
    if (this.depth === 0) return;
    process.kill(process.pid, 'SIGINT');
    this.landing();
  }

  // A signal on its way is taken by another thread and reaches the script a moment
  // later, so the page waits for it here, where it ends the scripts under this call.
  // Should it not come in time (a machine that is starved), the page goes on; the
  // signal then lands in the next script or, between scripts, is the host's own:
  // `restopping` says so to the Ctrl-C handler.
  landing() {
    if (this.depth === 0) return;
    for (const end = Date.now() + kLandingMs; Date.now() < end;) Atomics.wait(nap, 0, 0, 1);
    this.restopping = true;
  }

  // While the page waits for the plug-in.
  plugin(f) {
    const paused = this.pause();
    try {
      return f();
    } finally {
      if (paused) this.run(this.left);
    }
  }

  // While the plug-in calls script back.
  callback(f) {
    const resumed = Atomics.load(this.state, 0) === kPaused;
    if (resumed) this.run(this.left);
    try {
      return f();
    } finally {
      if (resumed) this.pause();
    }
  }
}

module.exports = {ScriptClock};
