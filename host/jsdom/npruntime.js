// Page script and the plug-in's objects, joined as Firefox's NPAPI runtime joins
// them, across the two processes:
//
// - A plug-in object reaches script as one wrapper per object and instance, a
//   callable object (typeof "function") whose members go to the object's class: a
//   name the class has as a property reads through getProperty (a name that is a
//   method too reads as a member object that calls the method and converts to the
//   property's value), a method reads as a function cached per object and name, `in`
//   asks hasProperty and hasMethod, assignment setProperty, `delete` removeProperty,
//   own keys enumerate, a call invokeDefault and `new` construct. Canonical array
//   indexes go as integer identifiers. Other names go on along the prototype chain.
// - A script object reaches the plug-in as a number of the page's; handed back it is
//   the script object itself. The plug-in's process gives numbers back with the count
//   of times it received them, and so does the page when a wrapper is collected.
// - Values: strings as UTF-8, numbers as Int32 when they are 32-bit integers and
//   not -0, else as doubles.
// - A plug-in's exception text is thrown as a string; a member that answers false
//   without one throws Firefox's Error ("Error calling method on NPObject!", ...);
//   every object of a destroyed instance answers "Bad NPObject as private data!".
'use strict';
const {Writer, ops, tags} = require('./channel.js');

const {kinds, toPlugin, toPage} = ops;
const opNames = Object.fromEntries(Object.entries(toPlugin).map(([name, op]) => [op, name]));
const kClassName = 'NPObject JS wrapper class';
const kBadObject = 'Bad NPObject as private data!';
const kSetFailed = 'Error setting property on NPObject!';
const kNotConverted = 'Error converting jsvals to NPVariants!';
// How an answer says its call threw (the plug-in's process writes it).
const kThrewPluginText = 1;
const kThrewError = 2;

// Array-index names up to 2^31 - 1 are integer identifiers, as Firefox's integer
// jsids are: only in their canonical form ("01" and "-0" stay names).
function identifier(name) {
  if (/^(0|[1-9][0-9]{0,9})$/.test(name) && Number(name) <= 0x7fffffff) return Number(name);
  return name;
}

function writeIdentifier(w, id) {
  if (typeof id === 'number') {
    w.u8(1);
    w.i32(id);
  } else {
    w.u8(0);
    w.text(id);
  }
}

function readIdentifier(r) {
  return r.u8() === 0 ? r.text() : String(r.i32());
}

class Runtime {
  // `window`: the page's; `plugin`: the plug-in's process (a PluginProcess);
  // `scriptError(error)`: an error of script that the plug-in called.
  constructor(window, plugin, scriptError) {
    this.window = window;
    this.plugin = plugin;
    this.scriptError = scriptError;
    this.pageNumbers = new Map();  // script object -> its number
    this.pageObjects = new Map();  // number -> {object, sent}
    this.nextPage = 1;
    this.markNative = (f) => f;  // the window's parts make functions look native
    this.trace = null;           // with --trace: told of each operation, as a line
    this.inDom = () => false;    // whether the DOM's own code runs
    // One wrapper per plug-in object and instance, as Firefox keeps them: an object
    // that reaches the page through another instance is wrapped again.
    this.wrappers = new Map();     // "instance:number" -> {ref, received, instance}
    this.numbers = new WeakMap();  // wrapper -> its entry
    this.instances = new Map();    // instance number -> {element, alive}
    this.collected = new FinalizationRegistry((entry) => this.giveBack(entry));
    this.toPrimitive = this.pageFunction(function () {
      const toString = this.toString;
      if (typeof toString === 'function') {
        const text = toString.call(this);
        if (text === null || typeof text !== 'object') return text;
      }
      throw new window.TypeError("can't convert " + kClassName + ' to primitive type');
    });
  }

  // A function of the page's realm around `f`, as the page's own functions are.
  pageFunction(f, name) {
    if (this.makeFunction === undefined) {
      this.makeFunction = this.window.eval('(f) => function () { return f.apply(this, arguments); }');
    }
    const made = this.makeFunction(f);
    if (name !== undefined) Object.defineProperty(made, 'name', {value: name});
    return this.markNative(made);
  }

  error(message) { return new this.window.Error(message); }

  // --- Values -------------------------------------------------------------------

  // A value for the plug-in's `instance`: a wrapper of another instance's object goes
  // as a script object, wrapped again, as Firefox hands it.
  writeValue(w, value, instance) {
    switch (typeof value) {
      case 'undefined':
        return w.u8(tags.void);
      case 'boolean':
        w.u8(tags.bool);
        return w.u8(value ? 1 : 0);
      case 'number':
        if (Number.isInteger(value) && value >= -0x80000000 && value <= 0x7fffffff &&
            !Object.is(value, -0)) {
          w.u8(tags.int);
          return w.i32(value);
        }
        w.u8(tags.double);
        return w.f64(value);
      case 'string':
        w.u8(tags.string);
        return w.text(value);
      case 'object':
      case 'function': {
        if (value === null) return w.u8(tags.null);
        const entry = this.numbers.get(value);
        if (entry !== undefined && (instance === undefined || entry.instance === instance)) {
          w.u8(tags.pluginObject);
          return w.u32(entry.number);
        }
        w.u8(tags.pageObject);
        return w.u32(this.sendPage(value));
      }
      default:
        throw this.error(kNotConverted);
    }
  }

  readValue(r, instance) {
    switch (r.u8()) {
      case tags.null: return null;
      case tags.bool: return r.u8() !== 0;
      case tags.int: return r.i32();
      case tags.double: return r.f64();
      case tags.string: return r.text();
      case tags.pluginObject: return this.wrapperOf(r.u32(), instance);
      case tags.pageObject: {
        const held = this.pageObjects.get(r.u32());
        return held !== undefined ? held.object : null;
      }
      default: return undefined;
    }
  }

  sendPage(object) {
    let number = this.pageNumbers.get(object);
    if (number === undefined) {
      number = this.nextPage++;
      this.pageNumbers.set(object, number);
      this.pageObjects.set(number, {object, sent: 0});
    }
    this.pageObjects.get(number).sent++;
    return number;
  }

  // --- Calls into the plug-in --------------------------------------------------

  // A value as a trace line shows it.
  shown(value) {
    if (typeof value === 'string') return JSON.stringify(value);
    if (this.numbers.has(value)) return '[plug-in object]';
    if (typeof value === 'function') return '[function]';
    if (value !== null && typeof value === 'object') return Object.prototype.toString.call(value);
    return Object.is(value, -0) ? '-0' : String(value);
  }

  // `f`'s answer, and with --trace the operation, its arguments and its answer.
  traced(op, args, f) {
    if (this.trace === null) return f();
    const call = `${opNames[op]}(${args.map((a) => this.shown(a)).join(', ')})`;
    let value;
    try {
      value = f();
    } catch (e) {
      this.trace(`${call} -> threw ${this.shown(e instanceof this.window.Error ? e.message : e)}`);
      throw e;
    }
    this.trace(`${call} -> ${op === toPlugin.setProperty ? 'done' : this.shown(value)}`);
    return value;
  }

  // A request on a plug-in object; the answer's reader, or a throw when the object
  // or the plug-in is gone.
  ask(op, entry, fill) {
    if (!entry.alive || !this.plugin.open) throw this.error(kBadObject);
    const w = new Writer(kinds.request, op);
    w.u32(entry.number);
    if (fill) fill(w);
    const r = this.plugin.request(w);
    if (r === null) throw this.error(kBadObject);
    return r;
  }

  // What the call threw, thrown here: the plug-in's text as a string, as Firefox
  // throws it, or the browser's error; `fallback` for a failed call without one.
  outcome(r, ok, fallback) {
    const kind = r.u8();
    const text = r.text();
    if (kind === kThrewPluginText) {
      // Where it was thrown, for the report should script not catch it.
      this.lastThrown = {value: text, at: new this.window.Error()};
      throw text;
    }
    if (kind === kThrewError) throw this.error(text);
    if (!ok && fallback !== undefined) throw this.error(fallback);
  }

  // An Error made where the plug-in's exception `value` was last thrown, or null.
  thrownAt(value) {
    return this.lastThrown !== undefined && this.lastThrown.value === value ? this.lastThrown.at : null;
  }

  has(op, entry, id) {
    return this.traced(op, [String(id)], () => {
      const r = this.ask(op, entry, (w) => writeIdentifier(w, id));
      const found = r.u8() !== 0;
      this.outcome(r, true);
      return found;
    });
  }

  call(op, entry, id, args) {
    return this.traced(op, id !== undefined ? [String(id)].concat(args) : args,
                       () => this.callUntraced(op, entry, id, args));
  }

  callUntraced(op, entry, id, args) {
    const r = this.ask(op, entry, (w) => {
      if (id !== undefined) writeIdentifier(w, id);
      w.u32(args.length);
      for (const arg of args) this.writeValue(w, arg, entry.instance);
    });
    const ok = r.u8() !== 0;
    const value = ok ? this.readValue(r, entry.instance) : undefined;
    this.outcome(r, ok);
    return value;
  }

  getProperty(entry, id) {
    return this.traced(toPlugin.getProperty, [String(id)], () => this.getUntraced(entry, id));
  }

  getUntraced(entry, id) {
    const r = this.ask(toPlugin.getProperty, entry, (w) => writeIdentifier(w, id));
    const ok = r.u8() !== 0;
    const value = this.readValue(r, entry.instance);
    this.outcome(r, true);
    // A getProperty that answers false reads as undefined, as in Firefox.
    return ok ? value : undefined;
  }

  setProperty(entry, id, value) {
    this.traced(toPlugin.setProperty, [String(id), value], () => {
      const r = this.ask(toPlugin.setProperty, entry, (w) => {
        writeIdentifier(w, id);
        this.writeValue(w, value, entry.instance);
      });
      const ok = r.u8() !== 0;
      this.outcome(r, ok, kSetFailed);
    });
  }

  removeProperty(entry, id) {
    return this.traced(toPlugin.removeProperty, [String(id)], () => {
      const r = this.ask(toPlugin.removeProperty, entry, (w) => writeIdentifier(w, id));
      const ok = r.u8() !== 0;
      this.outcome(r, true);
      return ok;
    });
  }

  enumerate(entry) {
    return this.traced(toPlugin.enumerate, [], () => {
      const r = this.ask(toPlugin.enumerate, entry);
      const ok = r.u8() !== 0;
      const names = [];
      for (let n = r.u32(); n > 0; --n) names.push(readIdentifier(r));
      this.outcome(r, ok, 'Error enumerating properties on scriptable plugin object');
      return names;
    });
  }

  // --- Wrappers ----------------------------------------------------------------

  // A collected wrapper's number goes back with the times it came.
  giveBack(entry) {
    if (this.wrappers.get(entry.key) === entry) this.wrappers.delete(entry.key);
    if (!entry.alive || !this.plugin.open) return;
    const w = new Writer(kinds.notice, toPlugin.release);
    w.u32(entry.number);
    w.u32(entry.received);
    this.plugin.notify(w);
  }

  wrapperOf(number, instance) {
    const key = `${instance}:${number}`;
    const known = this.wrappers.get(key);
    const existing = known !== undefined ? known.ref.deref() : undefined;
    if (existing !== undefined) {
      known.received++;
      return existing;
    }
    const entry = {key, number, instance, received: 1, alive: true, own: new Map()};
    const wrapper = this.makeWrapper(entry);
    entry.ref = new WeakRef(wrapper);
    this.wrappers.set(key, entry);
    this.numbers.set(wrapper, entry);
    this.collected.register(wrapper, entry);
    return wrapper;
  }

  // What the object has of a name, as Firefox's resolve and get hooks ask it.
  resolve(entry, wrapper, name) {
    if (entry.own.has(name)) return {value: entry.own.get(name)};
    const id = identifier(name);
    if (this.has(toPlugin.hasProperty, entry, id)) {
      if (this.has(toPlugin.hasMethod, entry, id)) return {value: this.member(entry, id)};
      return {value: this.getProperty(entry, id)};
    }
    if (!this.has(toPlugin.hasMethod, entry, id)) return null;
    const runtime = this;
    const method = this.pageFunction(function () {
      const holder = runtime.holderOf(this === undefined || this === null ? runtime.window : this);
      if (holder === undefined) throw runtime.error(kBadObject);
      return runtime.call(toPlugin.invoke, holder, id, Array.from(arguments));
    }, name);
    entry.own.set(name, method);
    return {value: method};
  }

  // The wrapper's entry on `value` or on its prototype chain (where an element has
  // it), as Firefox looks for the NPObject of a call's `this`.
  holderOf(value) {
    for (let o = value; o !== null && (typeof o === 'object' || typeof o === 'function');
      o = Reflect.getPrototypeOf(o)) {
      const entry = this.numbers.get(o);
      if (entry !== undefined) return entry;
    }
    return undefined;
  }

  // A member that is a property and a method at once: it calls the method and
  // converts to the property's value.
  member(entry, id) {
    const value = this.getProperty(entry, id);
    const runtime = this;
    const member = this.pageFunction(function () {
      return runtime.call(toPlugin.invoke, entry, id, Array.from(arguments));
    });
    Object.defineProperty(member, this.window.Symbol.toPrimitive, {
      configurable: true,
      value: this.pageFunction(function (hint) {
        if (value === null || typeof value !== 'object') return value;
        return hint === 'number' ? Number(value) : String(value);
      }),
    });
    return member;
  }

  makeWrapper(entry) {
    const runtime = this;
    const target = this.pageFunction(function () {});
    Reflect.setPrototypeOf(target, this.window.Object.prototype);
    let wrapper;
    const live = () => {
      if (!entry.alive) throw runtime.error(kBadObject);
    };
    wrapper = new Proxy(target, {
      get(t, name, receiver) {
        live();
        // Through an element from the DOM's own code: the plug-in is not asked.
        if (receiver !== wrapper && runtime.inDom()) return Reflect.get(t, name, receiver);
        if (typeof name === 'symbol') {
          const value = Reflect.get(t, name, receiver);
          if (value !== undefined || receiver !== wrapper) return value;
          if (name === runtime.window.Symbol.toPrimitive || name === Symbol.toPrimitive) {
            return runtime.toPrimitive;
          }
          if (name === Symbol.toStringTag) return kClassName;
          return value;
        }
        const found = runtime.resolve(entry, wrapper, name);
        return found !== null ? found.value : Reflect.get(t, name, receiver);
      },
      has(t, name) {
        live();
        if (typeof name !== 'symbol' && !runtime.inDom() && runtime.resolve(entry, wrapper, name) !== null) return true;
        return Reflect.has(t, name);
      },
      set(t, name, value, receiver) {
        live();
        if (receiver !== wrapper && runtime.inDom()) return Reflect.set(t, name, value, receiver);
        const id = typeof name === 'symbol' ? undefined : identifier(name);
        if (id !== undefined && runtime.has(toPlugin.hasProperty, entry, id)) {
          runtime.setProperty(entry, id, value);
          return true;
        }
        // A name the plug-in does not take: on an element's chain it lands on the element.
        if (id === undefined || receiver !== wrapper) return Reflect.set(t, name, value, receiver);
        const method = entry.own.has(name) || runtime.has(toPlugin.hasMethod, entry, id);
        throw runtime.error(method ? 'Trying to set unsupported property on NPObject!'
          : 'Trying to add unsupported property on NPObject!');
      },
      deleteProperty(t, name) {
        live();
        entry.own.delete(name);
        if (typeof name === 'symbol') return Reflect.deleteProperty(t, name);
        const id = identifier(name);
        // As in Firefox: deleting what the object does not have succeeds.
        if (!runtime.has(toPlugin.hasProperty, entry, id)) return true;
        return runtime.removeProperty(entry, id);
      },
      ownKeys(t) {
        live();
        const keys = runtime.enumerate(entry);
        // A function target's own names stay, as the proxy's invariants want.
        for (const key of Reflect.ownKeys(t)) {
          if (!keys.includes(key) && !Reflect.getOwnPropertyDescriptor(t, key).configurable) keys.push(key);
        }
        return keys;
      },
      getOwnPropertyDescriptor(t, name) {
        live();
        const own = Reflect.getOwnPropertyDescriptor(t, name);
        if (own !== undefined && !own.configurable) return own;
        if (typeof name === 'symbol') return undefined;
        const found = runtime.resolve(entry, wrapper, name);
        if (found === null) return undefined;
        return {value: found.value, writable: true, enumerable: true, configurable: true};
      },
      defineProperty(t, name, descriptor) {
        live();
        const id = typeof name === 'symbol' ? undefined : identifier(name);
        const hasValue = 'value' in descriptor;
        if (id !== undefined && hasValue && runtime.has(toPlugin.hasProperty, entry, id)) {
          runtime.setProperty(entry, id, descriptor.value);
          return true;
        }
        const method = id !== undefined && (entry.own.has(name) || runtime.has(toPlugin.hasMethod, entry, id));
        if (!method || !hasValue) throw runtime.error('Trying to add unsupported property on NPObject!');
        entry.own.set(name, descriptor.value);
        return true;
      },
      apply(t, self, args) {
        live();
        return runtime.call(toPlugin.invokeDefault, entry, undefined, args);
      },
      construct(t, args) {
        live();
        const value = runtime.call(toPlugin.construct, entry, undefined, args);
        if (value === null || (typeof value !== 'object' && typeof value !== 'function')) {
          throw runtime.error('Error calling method on NPObject!');
        }
        return value;
      },
    });
    return wrapper;
  }

  // The objects of a destroyed instance answer as gone from now on.
  forgetInstance(instance) {
    for (const entry of this.wrappers.values()) {
      if (entry.instance === instance) entry.alive = false;
    }
  }

  // --- Script objects as the plug-in reaches them ------------------------------

  // A request of the plug-in's process on the page.
  serve(op, r, w) {
    if (op === toPage.release) {
      const number = r.u32();
      const held = this.pageObjects.get(number);
      if (held === undefined) return;
      held.sent -= Math.min(r.u32(), held.sent);
      if (held.sent === 0) {
        this.pageObjects.delete(number);
        this.pageNumbers.delete(held.object);
      }
      return;
    }
    if (op === toPage.window || op === toPage.element) {
      const instance = this.instances.get(r.u32());
      const object = instance === undefined ? null
        : op === toPage.window ? this.window : instance.element;
      w.u8(object !== null ? 1 : 0);
      if (object !== null) this.writeValue(w, object);
      return;
    }
    if (op === toPage.evaluate) {
      r.u32();  // the instance
      const code = r.text();
      const asText = r.u8() !== 0;  // a javascript: URL's value, as the text streamed
      // In the page's global scope, as NPN_Evaluate runs it.
      return this.answerScript(w, () => {
        const value = this.window.eval(code);
        return asText && value !== undefined ? String(value) : value;
      });
    }
    const held = this.pageObjects.get(r.u32());
    const object = held !== undefined ? held.object : undefined;
    if (object === undefined) return w.u8(0);
    const name = op === toPage.invokeDefault || op === toPage.construct || op === toPage.enumerate
      ? undefined : readIdentifier(r);
    const args = () => {
      const list = [];
      for (let n = r.u32(); n > 0; --n) list.push(this.readValue(r));
      return list;
    };
    switch (op) {
      case toPage.hasProperty:
        return this.answerFlag(w, () => name in object);
      case toPage.hasMethod:
        return this.answerFlag(w, () => typeof object[name] === 'function');
      case toPage.getProperty:
        return this.answerScript(w, () => object[name]);
      case toPage.setProperty: {
        const value = this.readValue(r);
        return this.answerFlag(w, () => Reflect.set(object, name, value));
      }
      case toPage.removeProperty:
        // True when the name is gone afterwards (not inherited either), as in Firefox.
        return this.answerFlag(w, () => Reflect.deleteProperty(object, name) && !(name in object));
      case toPage.invoke: {
        const list = args();
        return this.answerScript(w, () => Reflect.apply(object[name], object, list));
      }
      case toPage.invokeDefault: {
        const list = args();
        return this.answerScript(w, () => Reflect.apply(object, object, list));
      }
      case toPage.construct: {
        const list = args();
        return this.answerScript(w, () => Reflect.construct(object, list));
      }
      case toPage.enumerate: {
        let keys;
        try {
          keys = Object.keys(object);
        } catch (e) {
          this.scriptError(e);
          return w.u8(0);
        }
        w.u8(1);
        w.u32(keys.length);
        for (const key of keys) writeIdentifier(w, identifier(key));
        return;
      }
      default:
        return w.u8(0);
    }
  }

  answerFlag(w, f) {
    let flag = false;
    try {
      flag = Boolean(f());
    } catch (e) {
      this.scriptError(e);
    }
    w.u8(flag ? 1 : 0);
  }

  // An exception of script the plug-in called: to the console, and the call fails.
  answerScript(w, f) {
    let value;
    try {
      value = f();
    } catch (e) {
      this.scriptError(e);
      return w.u8(0);
    }
    w.u8(1);
    this.writeValue(w, value);
  }
}

module.exports = {Runtime};
