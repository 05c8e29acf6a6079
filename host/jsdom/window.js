// The window's browser parts that jsdom does not give as Firefox 52 does, made in
// the page's own realm before the page is parsed: the console as Firefox formats
// it, navigator with the plug-in listed, the dialogs, and the timers counted so that
// the host knows when the page is idle. The host hands in its functions as the
// global kelvraHost, taken away here so that a page never sees it.
import {makeConsole} from './console.js';
import {makeDialogs} from './dialogs.js';
import {makeNavigator} from './navigator.js';
import {installLayout} from './layout.js';
import {fetch as offlineFetch, Headers, Request, Response} from 'whatwg-fetch';

const window = globalThis;
const host = window.kelvraHost;
delete window.kelvraHost;

function define(name, value) {
  Object.defineProperty(window, name, {value, writable: true, configurable: true});
}

// Functions of the browser's look native, in Firefox's words: the DOM's own, the
// window's parts here and the plug-in's member functions.
const nativeFunctions = new WeakSet();
const functionText = Function.prototype.toString;
const toString = {
  toString() {
    if (nativeFunctions.has(this)) return `function ${this.name}() {\n    [native code]\n}`;
    return functionText.call(this).replace(/^function ([^(]*)\(\) \{ \[native code\] \}$/,
                                           'function $1() {\n    [native code]\n}');
  },
}.toString;
nativeFunctions.add(toString);
Object.defineProperty(Function.prototype, 'toString', {value: toString, writable: true, configurable: true});
const native = (f) => { nativeFunctions.add(f); return f; };
host.nativeFunctions(native);
// What the host adds to the DOM is the DOM's code too: it never asks the plug-in.
installLayout(window, (f) => native(host.domFunction(f)));

define('console', makeConsole(host));
const navigator = makeNavigator(host.config);
Object.defineProperty(window, 'navigator', {get() { return navigator; }, configurable: true});
// fetch as Firefox 52 has it, on the window's XMLHttpRequest (offline): a failure is
// Firefox's TypeError.
define('fetch', native({fetch() {
  return offlineFetch.apply(this, arguments).catch((e) => {
    throw e instanceof TypeError ? new TypeError('NetworkError when attempting to fetch resource.') : e;
  });
}}.fetch));
for (const [name, value] of Object.entries({Headers, Request, Response})) {
  if (!(name in window)) define(name, value);
}
const dialogs = makeDialogs(host);
for (const name of Object.keys(dialogs)) define(name, dialogs[name]);

// The page's timers, each pending one counted until it fires or is cleared.
const pending = new Set();
const {setTimeout, setInterval, clearTimeout, clearInterval} = window;
function timer(set, repeat) {
  return function (callback, delay, ...args) {
    const run = typeof callback === 'function' ? callback : () => window.eval(String(callback));
    const id = set.call(window, function () {
      if (!repeat) pending.delete(id);
      host.timerFired();
      host.runTimer(() => run.apply(this, args));
    }, delay);
    pending.add(id);
    return id;
  };
}
function clear(cancel) {
  return function (id) {
    pending.delete(id);
    return cancel.call(window, id);
  };
}
define('setTimeout', timer(setTimeout, false));
define('setInterval', timer(setInterval, true));
define('clearTimeout', clear(clearTimeout));
define('clearInterval', clear(clearInterval));
host.pendingTimers(() => pending.size);
