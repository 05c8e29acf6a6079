// The window's timers on the host's event loop: setTimeout and setInterval take a
// function (with further arguments for it) or a string of code, as browsers do;
// requestAnimationFrame calls back with the time about every 16 ms, as a browser
// drawing at 60 Hz. The session keeps each task until it is cleared or, once fired,
// does not repeat.
const kFrame = 16;

export function installTimers(window, host) {
  const timers = new Map();
  const started = Date.now();
  const add = (task, delay, repeat) => {
    const id = host.setTimer(Number(delay) || 0, repeat);
    if (id > 0) timers.set(id, {task, repeat});
    return id;
  };
  const task = (f, rest) => {
    if (typeof f == 'function') return () => { f.apply(window, rest); };
    const code = String(f);
    return () => { host.evaluate(code); };
  };
  const clear = (id) => {
    id = Number(id) || 0;
    timers.delete(id);
    host.clearTimer(id);
  };
  // A high-resolution clock, as Firefox 52's: fractions of a millisecond.
  const clockStart = host.now();
  const performance = {now: () => host.now() - clockStart, timing: {navigationStart: started}};
  Object.defineProperty(performance, Symbol.toStringTag, {value: 'Performance'});
  const members = {
    setTimeout(f, delay, ...rest) { return add(task(f, rest), delay, false); },
    setInterval(f, delay, ...rest) { return add(task(f, rest), delay, true); },
    clearTimeout: clear,
    clearInterval: clear,
    requestAnimationFrame(callback) {
      if (typeof callback != 'function') {
        throw new TypeError('Argument 1 of Window.requestAnimationFrame is not callable.');
      }
      return add(() => { callback.call(window, performance.now()); }, kFrame, false);
    },
    cancelAnimationFrame: clear,
  };
  for (const name of Object.keys(members)) {
    Object.defineProperty(window, name, {value: members[name], writable: true, configurable: true});
  }
  Object.defineProperty(window, 'performance', {value: performance, writable: true,
                                                configurable: true});
  return {
    // The host's dispatch, for the event loop.
    fire(id) {
      const timer = timers.get(id);
      if (timer === undefined) return;
      if (!timer.repeat) timers.delete(id);
      timer.task();
    },
    // A task of the window's own (an offline request's answer), whatever the page did
    // to setTimeout.
    queue(f) { add(f, 0, false); },
  };
}
