// The page's DOM: @mixmark-io/domino (Mozilla's dom.js with its HTML5 parser), with
// what a browser adds around it:
//
// - The interface objects on the window (Node, Element, HTMLEmbedElement, Event, ...),
//   each prototype named by Symbol.toStringTag; those a page cannot construct in
//   Firefox throw "Illegal constructor".
// - <embed> and <object> elements are callable objects of the host's (Firefox's legacy
//   caller), so that a plug-in's scriptable object can join their prototype chain.
// - The DOM's own code never meets a plug-in: while it runs (`depth` above 0) the
//   host's NPAPI classes pass an element's lookups by the plug-in in its chain, as a
//   browser's native DOM never asks one. Listeners and handlers are page script again.
//   (Any function of the package that page script can reach is a member of one of
//   its prototypes; each runs wrapped.)
// - Event handler content attributes (onclick="...") are compiled in the page, and
//   <body>'s window-reflecting ones (onload, onunload, ...) are the window's.
// - addEventListener takes an options object ({capture, once}).

import {internal, outside} from './internal.js';

// Firefox 52's window-reflecting handlers of <body>, the window's own.
export const windowEvents = [
  'afterprint', 'beforeprint', 'beforeunload', 'blur', 'error', 'focus', 'hashchange', 'load',
  'message', 'offline', 'online', 'pagehide', 'pageshow', 'popstate', 'resize', 'scroll',
  'storage', 'unload'];

// The interfaces a page may construct; the others are there for instanceof.
const constructible = new Set(['Event', 'UIEvent', 'MouseEvent', 'CustomEvent', 'DOMException']);
const notExposed = new Set(['HTMLParser', 'Window', 'CSSStyleDeclaration']);

// Fields the DOM puts on an element after its construction.
const lateFields = ['_listeners', '_handlers', '_style', '_classList', '_lastModTime', '_nid',
                    '_children', '_attributes', '_armed', '_click_in_progress'];

let dom = null;

// Every method and accessor of the DOM runs as the DOM's own code. Most are defined
// once and for all (not configurable) as the package's modules load, so the
// descriptors are wrapped as they are defined; the prototypes written as plain
// objects are wrapped afterwards.
const wrapped = new WeakSet();
function wrapFunction(f) {
  if (typeof f !== 'function' || wrapped.has(f)) return f;
  // A constructor (with members of its own prototype) stays one.
  if (f.prototype !== undefined && Object.getOwnPropertyNames(f.prototype).length > 1) return f;
  const w = internal(f);
  wrapped.add(w);
  return w;
}

function wrapDescriptor(key, d) {
  if (key === 'constructor' || d === null || typeof d !== 'object') return d;
  const out = Object.assign({}, d);
  if ('value' in d) out.value = wrapFunction(d.value);
  if ('get' in d) out.get = wrapFunction(d.get);
  if ('set' in d) out.set = wrapFunction(d.set);
  return out;
}

function wrapDescriptors(props) {
  if (props === undefined || props === null) return props;
  const out = {};
  for (const key of Reflect.ownKeys(props)) out[key] = wrapDescriptor(key, props[key]);
  return out;
}

// Loads the package's modules with Object's definers wrapping what they define.
function loadWrapped(load) {
  const {create, defineProperty, defineProperties} = Object;
  Object.create = (proto, props) => create(proto, wrapDescriptors(props));
  Object.defineProperty = (o, key, d) => defineProperty(o, key, wrapDescriptor(key, d));
  Object.defineProperties = (o, props) => defineProperties(o, wrapDescriptors(props));
  try {
    return load();
  } finally {
    Object.create = create;
    Object.defineProperty = defineProperty;
    Object.defineProperties = defineProperties;
  }
}

function wrapPrototype(proto, seen) {
  if (proto === null || proto === Object.prototype || seen.has(proto)) return;
  seen.add(proto);
  for (const key of Reflect.ownKeys(proto)) {
    if (key === 'constructor') continue;
    const d = Object.getOwnPropertyDescriptor(proto, key);
    if (d.configurable) {
      Object.defineProperty(proto, key, wrapDescriptor(key, d));
    } else if (d.writable && typeof d.value === 'function') {
      proto[key] = wrapFunction(d.value);
    }
  }
}

function interfaceObject(name, impl) {
  if (constructible.has(name)) return impl;
  const f = function () {
    throw new TypeError('Illegal constructor');
  };
  Object.defineProperty(f, 'name', {value: name});
  for (const key of Object.keys(impl)) f[key] = impl[key];  // constants (ELEMENT_NODE, ...)
  f.prototype = impl.prototype;
  impl.prototype.constructor = f;  // writable, not configurable
  return f;
}

// Listeners and handlers are page script: the plug-in in an element's chain is there
// for them. An options object gives capture and once.
function patchEvents(EventTarget) {
  const add = EventTarget.prototype.addEventListener;
  const remove = EventTarget.prototype.removeEventListener;
  const setHandler = EventTarget.prototype._setEventHandler;
  const captureOf = (options) =>
    options !== null && typeof options === 'object' ? !!options.capture : !!options;
  EventTarget.prototype.addEventListener = function (type, listener, options) {
    if (!listener) return;
    const capture = captureOf(options);
    const once = options !== null && typeof options === 'object' && !!options.once;
    add.call(this, type, listener, capture);
    const entry = this._listeners[type].find((l) => l.listener === listener && l.capture === capture);
    const target = this;
    const call = outside(function (event) {
      if (once) remove.call(target, type, listener, capture);
      return typeof listener === 'function' ? listener.call(this, event)
                                            : listener.handleEvent(event);
    });
    entry.f = call;
  };
  EventTarget.prototype.removeEventListener = function (type, listener, options) {
    remove.call(this, type, listener, captureOf(options));
  };
  // _handlers keeps what runs, _handlerValues what the page set.
  EventTarget.prototype._setEventHandler = function (type, handler) {
    const value = typeof handler === 'function' || (handler !== null && typeof handler === 'object')
                      ? handler : null;
    if (!Object.prototype.hasOwnProperty.call(this, '_handlerValues')) {
      Object.defineProperty(this, '_handlerValues', {value: Object.create(null), writable: true});
    }
    this._handlerValues[type] = value;
    setHandler.call(this, type, typeof value === 'function' ? outside(value) : value);
  };
  EventTarget.prototype._getEventHandler = function (type) {
    return (this._handlerValues && this._handlerValues[type]) || null;
  };
}

// onclick="..." becomes a function of the page, compiled when the attribute is set; a
// text that does not compile is the page's error, reported, and the handler is null.
function compileHandlers(attributes, elements, report) {
  const compile = (element, name, oldValue, text) => {
    let handler = null;
    if (text !== null) {
      try {
        handler = Function('event', text);
      } catch (e) {
        report(element.localName + ' ' + name + ': ' + e);
      }
    }
    element[name] = handler;
  };
  for (const ctor of [elements.HTMLElement, elements.HTMLBodyElement]) {
    for (const key of Object.getOwnPropertyNames(ctor.prototype)) {
      if (key.startsWith('on')) attributes.registerChangeHandler(ctor, key, compile);
    }
  }
}

// The DOM, set up once: `window` receives the interface objects; `makeElement(proto)`
// makes the host's callable element; `report` takes a line for the page's console (an
// error of the page's markup).
export function installDom(window, makeElement, report) {
  if (dom !== null) return dom;
  const impl = loadWrapped(() => require('@mixmark-io/domino/lib/impl'));
  const HTMLParser = require('@mixmark-io/domino/lib/HTMLParser');
  const htmlelts = require('@mixmark-io/domino/lib/htmlelts');
  const attributes = require('@mixmark-io/domino/lib/attributes');
  const EventTarget = require('@mixmark-io/domino/lib/EventTarget');
  const MutationConstants = require('@mixmark-io/domino/lib/MutationConstants');

  patchEvents(EventTarget);
  compileHandlers(attributes, htmlelts.elements, report);
  // <body>'s window-reflecting handlers are the window's.
  const reflected = new Set(windowEvents);
  const own = EventTarget.prototype;
  Object.defineProperties(impl.HTMLBodyElement.prototype, {
    _setEventHandler: {value(type, v) {
      return own._setEventHandler.call(reflected.has(type) ? window : this, type, v);
    }},
    _getEventHandler: {value(type) {
      return own._getEventHandler.call(reflected.has(type) ? window : this, type);
    }},
  });
  // <embed> and <object>: callable, with their interface's prototype.
  const create = htmlelts.createElement;
  htmlelts.createElement = function (doc, localName, prefix) {
    const ctor = localName === 'embed' ? impl.HTMLEmbedElement
               : localName === 'object' ? impl.HTMLObjectElement : null;
    if (ctor === null) return create(doc, localName, prefix);
    const element = makeElement(ctor.prototype);
    ctor.call(element, doc, localName, prefix);
    // Object.keys and for...in of the element show the page's expandos alone, as in
    // Firefox: the DOM's own fields, present and to come, are not enumerable.
    for (const key of Object.keys(element)) {
      Object.defineProperty(element, key, {enumerable: false});
    }
    for (const key of lateFields) {
      if (!(key in element)) {
        Object.defineProperty(element, key, {value: undefined, writable: true});
      }
    }
    return element;
  };

  const seen = new Set();
  const exposed = {EventTarget};
  for (const name of Object.keys(impl)) {
    if (!notExposed.has(name) && typeof impl[name] === 'function') exposed[name] = impl[name];
  }
  for (const name of Object.keys(exposed)) {
    const ctor = exposed[name];
    if (!ctor.prototype) continue;
    wrapPrototype(ctor.prototype, seen);
    Object.defineProperty(ctor.prototype, Symbol.toStringTag,
                          {value: name === 'Document' ? 'HTMLDocument' : name, configurable: true});
    Object.defineProperty(window, name, {value: interfaceObject(name, ctor), writable: true,
                                         configurable: true});
  }
  for (const ctor of [impl.NodeList, impl.NamedNodeMap, impl.DOMTokenList,
                      impl.CSSStyleDeclaration]) {
    if (ctor && ctor.prototype) wrapPrototype(ctor.prototype, seen);
  }
  // A DOMException by Firefox's name and text (the package names its codes only).
  const error = (code, name, message) => {
    const e = new impl.DOMException(code);
    e.name = name;
    e.message = message;
    return e;
  };
  dom = {impl, HTMLParser, EventTarget, insert: MutationConstants.INSERT, error};
  return dom;
}
