// Every place where the host reaches into jsdom's own modules, for what its public
// API does not offer. They are tied to the one jsdom release the lock file pins:
// loading checks that release and that each reach finds what it expects, so that an
// upgrade that moves one fails at once instead of changing the page's behaviour.
'use strict';
const vm = require('vm');
const jsdomVersion = require('jsdom/package.json').version;
const utils = require('jsdom/lib/jsdom/living/generated/utils.js');
const {domSymbolTree} = require('jsdom/lib/jsdom/living/helpers/internal-constants.js');
const scriptImpl = require('jsdom/lib/jsdom/living/nodes/HTMLScriptElement-impl.js').implementation;
const embedImpl = require('jsdom/lib/jsdom/living/nodes/HTMLEmbedElement-impl.js').implementation;
const objectImpl = require('jsdom/lib/jsdom/living/nodes/HTMLObjectElement-impl.js').implementation;
const namedProperties = require('jsdom/lib/jsdom/named-properties-tracker.js');
const namedWindow = require('jsdom/lib/jsdom/living/named-properties-window.js');
const xhrUtils = require('jsdom/lib/jsdom/living/xhr/xhr-utils.js');
const xhrImpl = require('jsdom/lib/jsdom/living/xhr/XMLHttpRequest-impl.js').implementation;
const {EventEmitter} = require('events');
const embedWrapper = require('jsdom/lib/jsdom/living/generated/HTMLEmbedElement.js');
const objectWrapper = require('jsdom/lib/jsdom/living/generated/HTMLObjectElement.js');
const locationImpl = require('jsdom/lib/jsdom/living/window/Location-impl.js').implementation;
const documentImpl = require('jsdom/lib/jsdom/living/nodes/Document-impl.js').implementation;

const kPinned = '24.1.3';

// The callbacks through which jsdom's code calls page script (listeners, handlers,
// observers, filters).
const callbackModules = [
  require('jsdom/lib/jsdom/living/generated/EventListener.js'),
  require('jsdom/lib/jsdom/living/generated/EventHandlerNonNull.js'),
  require('jsdom/lib/jsdom/living/generated/OnErrorEventHandlerNonNull.js'),
  require('jsdom/lib/jsdom/living/generated/OnBeforeUnloadEventHandlerNonNull.js'),
  require('jsdom/lib/jsdom/living/generated/Function.js'),
  require('jsdom/lib/jsdom/living/generated/VoidFunction.js'),
  require('jsdom/lib/jsdom/living/generated/MutationCallback.js'),
  require('jsdom/lib/jsdom/living/generated/NodeFilter.js'),
  require('jsdom/lib/jsdom/living/generated/BlobCallback.js'),
];

// While the DOM's own code runs, depth is above 0: a browser's DOM is native code and
// never asks a plug-in, so lookups that reach the plug-in's object through an element
// from there pass it by. Page script that the DOM calls runs at depth 0 again.
const dom = {depth: 0};

// jsdom's own code `f`, which reads elements through their script objects.
function inside(f) {
  return function () {
    dom.depth++;
    try {
      return f.apply(this, arguments);
    } finally {
      dom.depth--;
    }
  };
}

function outside(f) {
  return function () {
    const saved = dom.depth;
    dom.depth = 0;
    try {
      return f.apply(this, arguments);
    } finally {
      dom.depth = saved;
    }
  };
}

// The DOM's own function `f`, as the page sees it: it counts as the DOM's code, and
// it is a function of the page's realm.
function domFunction(f, pageFunction) {
  const wrapped = function () {
    dom.depth++;
    try {
      return new.target !== undefined ? Reflect.construct(f, arguments, new.target)
        : Reflect.apply(f, this, arguments);
    } finally {
      dom.depth--;
    }
  };
  Object.defineProperty(wrapped, 'name', {value: f.name});
  Object.defineProperty(wrapped, 'length', {value: f.length});
  Reflect.setPrototypeOf(wrapped, pageFunction);
  return wrapped;
}

function check(what, ok) {
  if (!ok) throw new Error(`jsdom ${jsdomVersion}: ${what} is not where jsdom ${kPinned} has it`);
}

check('the release', jsdomVersion === kPinned);
for (const name of ['_fetchExternalScript', '_fetchInternalScript', '_innerEval', '_eval']) {
  check(`HTMLScriptElement's ${name}`, typeof scriptImpl.prototype[name] === 'function');
}
check('XMLHttpRequest\'s client', typeof xhrUtils.createClient === 'function' &&
      typeof xhrImpl.prototype.send === 'function');
check('the named properties\' tracker', typeof namedProperties.create === 'function');
check('the window\'s named properties', typeof namedWindow.nodeAttachedToDocument === 'function');
for (const module of callbackModules) check('a callback\'s convert', typeof module.convert === 'function');
for (const module of [embedWrapper, objectWrapper]) {
  check('an element wrapper\'s create/setup', typeof module.create === 'function' &&
        typeof module.setup === 'function');
}
check('the tree of nodes', typeof domSymbolTree.childrenIterator === 'function');
check('the document\'s write', typeof documentImpl.prototype.write === 'function');
// What the page can do to navigate: the parts' setters and the three methods.
const kNavigations = ['href', 'protocol', 'host', 'hostname', 'port', 'pathname', 'search'];
check('the location\'s navigations', kNavigations.every((name) =>
  typeof Object.getOwnPropertyDescriptor(locationImpl.prototype, name)?.set === 'function') &&
  ['assign', 'replace', 'reload'].every((name) => typeof locationImpl.prototype[name] === 'function'));
check('the wrapper symbols', typeof utils.ctorRegistrySymbol === 'symbol' &&
      typeof utils.implForWrapper === 'function' && typeof utils.wrapperForImpl === 'function');

// `hooks`:
//   task(f) runs page script that jsdom calls (a listener, a handler) as the host runs
//     a task, under the script time-out;
//   runScript(element, text, name, firstLine) runs a script where its element is
//     reached (jsdom's own run is asynchronous for a src, and queued for inline text);
//   loadScript(element, src, charset) is the text of a src script, or null;
//   later(when, run) keeps a parser's "defer" or "async" script for its time;
//   makeElement(globalObject, prototype) is the object an <embed> or <object> is;
//   offline(method, url) is told of each XMLHttpRequest, which fails as in a
//     browser without a network, and answers what to call once it has failed;
//   inserted(element) and removed(element) see an embedding enter and leave the
//     document (an <object> the parser reaches once its <param>s are in);
//   navigate(what, value) is told of a navigation the page asked for, which does not
//     happen (the window's and the document's location setters are location.href's;
//     a change of the hash alone is jsdom's, as a browser's).
// `element` is always the script object (the wrapper) of the element.
function install(hooks) {
  // The page's promise jobs run at the end of each script and task, as a browser's
  // microtask checkpoint has them, not once the parser has handed back to Node.js.
  const createContext = vm.createContext;
  vm.createContext = (object, options) =>
    createContext(object, Object.assign({}, options, {microtaskMode: 'afterEvaluate'}));
  for (const name of kNavigations) {
    const descriptor = Object.getOwnPropertyDescriptor(locationImpl.prototype, name);
    descriptor.set = function (value) { hooks.navigate(`location.${name} =`, value); };
    Object.defineProperty(locationImpl.prototype, name, descriptor);
  }
  for (const name of ['assign', 'replace']) {
    locationImpl.prototype[name] = function (url) { hooks.navigate(`location.${name}`, url); };
  }
  locationImpl.prototype.reload = function () { hooks.navigate('location.reload', this.href); };
  // document.write of a script the parser runs puts its markup after the script (jsdom's
  // `_writeAfterElement`, see asCurrentScript), at once; the next write goes after that
  // markup, as a parser's insertion point moves on.
  const write = documentImpl.prototype.write;
  documentImpl.prototype.write = function (...text) {
    const point = this._writeAfterElement;
    if (point === undefined || point.parentNode === null) return write.apply(this, text);
    const parent = point.parentNode, next = point.nextSibling;
    write.apply(this, text);
    this._writeAfterElement = next !== null && next.parentNode === parent ? next.previousSibling : parent.lastChild;
    return undefined;
  };
  // A synchronous request runs in a worker process of jsdom's, which fails it (the
  // host's xhr-sync-worker.js): it is told here.
  const send = xhrImpl.prototype.send;
  xhrImpl.prototype.send = function (body) {
    if (!this.flag.synchronous || this.readyState !== 1 || this.properties.send) {
      return send.call(this, body);
    }
    const done = hooks.offline(this.flag.method.toUpperCase(), this.flag.uri);
    try {
      return send.call(this, body);
    } finally {
      done();
    }
  };
  xhrUtils.createClient = (xhr) => {
    const done = hooks.offline(xhr.flag.method.toUpperCase(), xhr.flag.uri);
    const client = new EventEmitter();
    client.abort = () => client.emit('abort');
    setImmediate(() => {
      client.emit('error', new Error('the host is offline'));
      done();
    });
    return client;
  };
  // Named access to elements (window.NAME) looks at them from jsdom's own code.
  const create = namedProperties.create;
  namedProperties.create = (object, proxy, resolve) => create(object, proxy, inside(resolve));
  for (const key of Object.keys(namedWindow)) {
    if (typeof namedWindow[key] === 'function') namedWindow[key] = inside(namedWindow[key]);
  }
  for (const module of callbackModules) {
    const convert = module.convert;
    module.convert = function () {
      const callback = convert.apply(this, arguments);
      const called = outside(function () {
        return hooks.task(() => callback.apply(this, arguments));
      });
      for (const key of Reflect.ownKeys(callback)) {
        if (key !== 'name' && key !== 'length' && key !== 'prototype') called[key] = callback[key];
      }
      return called;
    };
  }
  scriptImpl.prototype._fetchExternalScript = function () {
    if (!this._canRunScript()) return;
    const wrapper = utils.wrapperForImpl(this);
    const loaded = hooks.loadScript(wrapper, this.getAttributeNS(null, 'src'),
                                    this.getAttributeNS(null, 'charset'));
    if (loaded === null) return;
    // The parser's async and defer scripts wait for the document; others run now.
    const when = !this._parserInserted ? null : this.hasAttributeNS(null, 'async') ? 'async'
      : this.hasAttributeNS(null, 'defer') ? 'defer' : null;
    if (when !== null) {
      hooks.later(when, () => hooks.runScript(wrapper, loaded.text, loaded.name, 1));
    } else {
      hooks.runScript(wrapper, loaded.text, loaded.name, 1);
    }
  };
  scriptImpl.prototype._fetchInternalScript = function () {
    if (!this._canRunScript()) return;
    let firstLine = 1;
    for (const child of domSymbolTree.childrenIterator(this)) {
      if (child.sourceCodeLocation) firstLine = child.sourceCodeLocation.startLine;
      break;
    }
    hooks.runScript(utils.wrapperForImpl(this), this.text, null, firstLine);
  };

  for (const [name, module] of [['HTMLEmbedElement', embedWrapper],
    ['HTMLObjectElement', objectWrapper]]) {
    module.create = (globalObject, constructorArgs, privateData) => {
      const proto = globalObject[utils.ctorRegistrySymbol][name].prototype;
      return module.setup(hooks.makeElement(globalObject, proto), globalObject, constructorArgs,
                          privateData);
    };
  }

  const attach = embedImpl.prototype._attach;
  const detach = embedImpl.prototype._detach;
  for (const impl of [embedImpl, objectImpl]) {
    impl.prototype._attach = function () {
      attach.call(this);
      if (!this._parserInserted) hooks.inserted(utils.wrapperForImpl(this));
    };
    impl.prototype._detach = function () {
      detach.call(this);
      hooks.removed(utils.wrapperForImpl(this));
    };
  }
  // The parser attaches an element before its children and keeps it open until its
  // end tag: an <object>'s <param>s are known then. jsdom's parser marks the elements
  // it makes that have `_parserInserted`, as it does scripts.
  objectImpl.prototype._parserInserted = false;
  objectImpl.prototype._poppedOffStackOfOpenElements = function () {
    this._parserInserted = false;
    if (this._attached) hooks.inserted(utils.wrapperForImpl(this));
  };
}

// jsdom makes its interfaces in its own realm: the root ones (EventTarget, Event, ...)
// end at Node's Object.prototype and their functions are Node's, so that
// `document.body instanceof Object` is false in the page and a DOM function shows its
// source. They are made the page's, each DOM function counted as the DOM's code;
// answers those functions, for the page's realm to show as native.
function adoptInterfaces(window) {
  const pageObject = window.Object.prototype;
  const pageFunction = window.Function.prototype;
  const made = [];
  // The interfaces are the context's own properties, not the window proxy's.
  const global = scriptContext(window);
  for (const name of Object.getOwnPropertyNames(global)) {
    const descriptor = Object.getOwnPropertyDescriptor(global, name);
    const value = descriptor !== undefined ? descriptor.value : undefined;
    if (typeof value !== 'function' || Reflect.getPrototypeOf(value) === pageFunction) continue;
    if (Reflect.getPrototypeOf(value) === Function.prototype) Reflect.setPrototypeOf(value, pageFunction);
    const proto = value.prototype;
    if (proto === null || typeof proto !== 'object' || Reflect.getPrototypeOf(proto) === null) continue;
    if (Reflect.getPrototypeOf(proto) === Object.prototype) Reflect.setPrototypeOf(proto, pageObject);
    made.push(value);
    for (const key of Reflect.ownKeys(proto)) {
      const d = Object.getOwnPropertyDescriptor(proto, key);
      if (key === 'constructor' || !d.configurable) continue;
      for (const part of ['value', 'get', 'set']) {
        if (typeof d[part] === 'function' && Reflect.getPrototypeOf(d[part]) === Function.prototype) {
          d[part] = domFunction(d[part], pageFunction);
          made.push(d[part]);
        }
      }
      Object.defineProperty(proto, key, d);
    }
  }
  check('the interfaces\' realm', Reflect.getPrototypeOf(window.EventTarget.prototype) === pageObject);
  return made;
}

// `run` as the script of `element` (a script element, or null for a task): it is the
// document's current script; where the parser reached it and runs it now, what it
// writes goes in after it (a script that script inserted writes where its inserter
// does, and a deferred one is past the parsing). The outer script's state comes back.
function asCurrentScript(document, element, run) {
  const impl = utils.implForWrapper(document);
  const script = element === null ? null : utils.implForWrapper(element);
  const outer = {current: impl._currentScript, point: impl._writeAfterElement};
  const placed = script !== null && script._parserInserted && impl.readyState === 'loading';
  impl._currentScript = script;
  if (placed) impl._writeAfterElement = script;
  try {
    return run();
  } finally {
    impl._currentScript = outer.current;
    if (placed) impl._writeAfterElement = outer.point;
  }
}

// The context scripts run in, from the window a beforeParse hook is given (jsdom's
// public getInternalVMContext() has it only once the whole page is parsed).
function scriptContext(window) {
  const context = utils.implForWrapper(window.document)._global;
  check('the window\'s script context', vm.isContext(context));
  return context;
}

module.exports = {adoptInterfaces, asCurrentScript, dom, domFunction, install, outside, scriptContext};
