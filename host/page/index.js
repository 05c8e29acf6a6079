// The page host's window, run by the host's script engine before any page script:
// the console and the timers from the start; at open() the DOM (dom.js) and the
// window's browser parts (location, navigator, storage, dialogs, atob/btoa, URL,
// offline XMLHttpRequest and fetch, named access to elements by id), then the page's
// lifecycle (lifecycle.js), step by step as the host leads it.
//
// The host hands in its native functions as the global kelvraHost (taken away here,
// so that a page never sees it) and receives the steps through kelvraHost.install.
import base64 from 'base-64';
import {makeConsole} from './console.js';
import {installDom, windowEvents} from './dom.js';
import {depth, internal} from './internal.js';
import {makePage} from './lifecycle.js';
import {Location, defineLocation, makeLocation} from './location.js';
import {makeNavigator} from './navigator.js';
import {makeDialogs} from './dialogs.js';
import {installNetwork} from './network.js';
import {Storage, makeStorage} from './storage.js';
import {checkSyntax} from './syntax_level.js';
import {installTimers} from './timers.js';

const window = globalThis;
const host = window.kelvraHost;
delete window.kelvraHost;
host.domDepth(depth.buffer);

function define(name, value) {
  Object.defineProperty(window, name, {value, writable: true, configurable: true});
}
function defineGetter(name, get) {
  Object.defineProperty(window, name, {get, enumerable: true, configurable: true});
}

// As in Firefox, `window` is unforgeable.
Object.defineProperty(window, 'window', {get() { return window; }, enumerable: true});
define('console', makeConsole(host));
const timers = installTimers(window, host);
const report = (text) => host.report(text);

const dialogs = makeDialogs(host);

// The window of a document, its browser parts as Firefox 52 shows them.
function openWindow(config) {
  const dom = installDom(window, host.element, (text) => host.error(text));
  const {impl, EventTarget} = dom;
  let document = null;

  // Window.prototype, then the elements named by their id (as browsers' named access:
  // a page's own globals come first), then EventTarget.prototype.
  const named = host.namedProperties((name) => {
    if (document === null || name in EventTarget.prototype) return null;
    return document.getElementById(name);
  }, EventTarget.prototype);
  function Window() {
    throw new TypeError('Illegal constructor');
  }
  Window.prototype = Object.create(named);
  Object.defineProperty(Window.prototype, 'constructor', {value: Window, writable: true,
                                                          configurable: true});
  Object.defineProperty(Window.prototype, Symbol.toStringTag, {value: 'Window'});
  for (const type of windowEvents) {
    Object.defineProperty(Window.prototype, 'on' + type, {
      get() { return this._getEventHandler(type); },
      set(v) { this._setEventHandler(type, v); },
      enumerable: true, configurable: true});
  }
  Object.setPrototypeOf(window, Window.prototype);
  for (const field of ['_listeners', '_handlers', '_handlerValues']) {
    Object.defineProperty(window, field, {value: Object.create(null), writable: true});
  }
  define('Window', Window);
  define('Location', Location);
  define('Storage', Storage);

  const place = makeLocation(config.location, report);
  defineLocation(window, place);
  const navigator = makeNavigator(config);
  defineGetter('navigator', () => navigator);
  for (const name of ['self', 'frames', 'parent', 'top']) defineGetter(name, () => window);
  const fields = {
    name: '', status: '', closed: false, length: 0, opener: null, frameElement: null,
    innerWidth: 1024, innerHeight: 768, outerWidth: 1024, outerHeight: 768, screenX: 0,
    screenY: 0, scrollX: 0, scrollY: 0, pageXOffset: 0, pageYOffset: 0, devicePixelRatio: 1,
    screen: {width: 1024, height: 768, availWidth: 1024, availHeight: 768, colorDepth: 24,
             pixelDepth: 24},
    history: {length: 1, state: null, back() {}, forward() {}, go() {}, pushState() {},
              replaceState() {}},
  };
  for (const name of Object.keys(fields)) define(name, fields[name]);
  for (const name of ['focus', 'blur', 'print', 'stop', 'scroll', 'scrollTo', 'scrollBy',
                      'moveTo', 'moveBy', 'resizeTo', 'resizeBy']) {
    define(name, function () {});
  }
  define('close', function () { report('the page asked to close its window; it stays open'); });
  define('open', function (url) {
    report('the page asked to open a window (' + JSON.stringify(String(url)) + '); none opens');
    return null;
  });
  define('getComputedStyle', internal((element) => element.style));
  define('matchMedia', (query) => ({media: String(query), matches: false, addListener() {},
                                    removeListener() {}}));
  for (const name of Object.keys(dialogs)) define(name, dialogs[name]);
  const invalidCharacter = () => dom.error(impl.DOMException.INVALID_CHARACTER_ERR,
                                            'InvalidCharacterError',
                                            'String contains an invalid character');
  define('btoa', function btoa(text) {
    text = String(text);
    if (/[^\x00-\xFF]/.test(text)) throw invalidCharacter();
    return base64.encode(text);
  });
  define('atob', function atob(text) {
    try {
      return base64.decode(String(text));
    } catch (e) {
      throw invalidCharacter();
    }
  });
  const local = makeStorage(), session = makeStorage();
  defineGetter('localStorage', () => local);
  defineGetter('sessionStorage', () => session);
  // core-js's URL, loaded when a page first asks for it.
  const lazy = {URL: () => require('core-js-pure/web/url'),
                URLSearchParams: () => require('core-js-pure/web/url-search-params')};
  for (const name of Object.keys(lazy)) {
    Object.defineProperty(window, name, {
      get() {
        const value = lazy[name]();
        define(name, value);
        return value;
      },
      set(value) { define(name, value); },
      configurable: true});
  }
  installNetwork(window, dom, timers.queue, report);

  const fire = (target, type, init) => {
    target._dispatchEvent(new impl.Event(type, init), true);
  };
  const page = makePage(window, dom, fire);
  document = page.open(config.html, config.location.href, config.bare);
  let currentScript = null;
  Object.defineProperties(document, {
    currentScript: {get() { return currentScript; }},
    cookie: {get() { return ''; }, set() {}},  // cookies are off, as navigator says
    domain: {get() { return config.location.hostname; }},
    referrer: {value: ''},
  });
  defineLocation(document, place);
  Object.defineProperty(window, 'document', {get() { return document; }, enumerable: true});
  page.currentScript = (element) => { currentScript = element; };
  return page;
}

const api = {
  fireTimer: timers.fire,
  checkSyntax: (source, file, level) => checkSyntax(source, file, level, report),
  open(config) {
    const page = openWindow(config);
    Object.assign(api, page);
  },
};
host.install(api);
