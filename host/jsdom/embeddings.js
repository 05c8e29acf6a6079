// The page's embeddings: each <embed> and <object> of the plug-in's type gets its
// instance when it enters the document and loses it when it leaves, as in Firefox;
// the element is callable and holds the plug-in's scriptable object in its prototype
// chain while its instance lives.
'use strict';
const fs = require('fs');
const path = require('path');
const {Writer, ops} = require('./channel.js');

const {kinds, toPlugin} = ops;
const kExitPluginRefused = ops.exits.pluginRefused;

class Embeddings {
  constructor(page) {
    this.page = page;
    this.list = [];
    this.nextInstance = 1;
  }

  embeddingOf(element) { return this.list.find((e) => e.element === element); }

  // An <embed> or <object> entered the document: of the plug-in's type, it gets an
  // instance now, with its attributes, the element's size and its scriptable object.
  inserted(element) {
    if (this.embeddingOf(element) !== undefined || this.page.stopped) return;
    const attributes = Array.from(element.attributes, (a) => [a.name, a.value]);
    const mimeType = element.getAttribute('type') || '';
    const embedding = {element, number: 0, scriptable: null};
    this.list.push(embedding);
    const id = element.getAttribute('id');
    const name = id || `embedding ${this.list.length}`;
    const forPlugin = this.page.run.plugins.some((p) => p.mimeTypes.some((t) => t.type.toLowerCase() === mimeType.toLowerCase()));
    if (!forPlugin) {
      if (this.page.run.html) this.page.report(`<${element.localName}> ${name} is not for the plug-in: its type ${mimeType || '(none)'} is not one the plug-in lists`);
      return;
    }
    if (this.page.started === null) {
      const r = this.page.plugin.request(new Writer(kinds.request, toPlugin.start));
      this.page.started = r === null ? kExitPluginRefused : r.i32();
      if (this.page.started !== 0) this.page.refused = this.page.started;
    }
    if (this.page.started !== 0) return;
    if (element.localName === 'object') {
      attributes.push(['PARAM', null]);
      for (const param of element.querySelectorAll(':scope > param')) {
        attributes.push([param.getAttribute('name') || '', param.getAttribute('value') || '']);
      }
    }
    embedding.number = this.nextInstance++;
    this.page.runtime.instances.set(embedding.number, {element});
    const w = new Writer(kinds.request, toPlugin.new);
    w.u32(embedding.number);
    w.text(mimeType);
    w.text(name);
    w.u32(attributes.length);
    for (const [n, v] of attributes) {
      w.text(n);
      w.u8(v === null ? 0 : 1);
      w.text(v === null ? '' : v);
    }
    const size = (attribute) => {
      const m = /^\s*(\d+)/.exec(element.getAttribute(attribute) || '');
      return m ? Math.min(Number(m[1]), 65535) : 0;
    };
    w.u32(size('width'));
    w.u32(size('height'));
    const source = this.sourceOf(element);
    w.u8(source !== null ? 1 : 0);
    w.text(source !== null ? source.url : '');
    w.text(source !== null ? source.file : '');
    const r = this.page.plugin.request(w);
    const created = r !== null ? r.i32() : -1;
    if (created !== 0) {
      embedding.number = 0;
      if (!this.page.run.html) {
        this.page.report(`NOT RUN: the plug-in refused the embedding (NPP_New -> ${created}; its log ` +
                    'says why), so the page\'s script was not run; in a browser the page would ' +
                    `see ${this.page.run.elementName} as an element without the plug-in's methods`);
        this.page.refused = kExitPluginRefused;
      }
      return;
    }
    r.i32();  // NPP_GetValue's answer, reported by the plug-in's side
    const scriptable = this.page.runtime.readValue(r, embedding.number);
    if (scriptable !== null && scriptable !== undefined) {
      // The plug-in's object goes between the element and its prototype, as in Firefox.
      embedding.scriptable = scriptable;
      Reflect.setPrototypeOf(scriptable, Reflect.getPrototypeOf(element));
      Reflect.setPrototypeOf(element, scriptable);
    }
  }

  // What the plug-in gets streamed of an embedding's src (an <object>'s data), as
  // Firefox opens it after NPP_New: a data: URL, or a file beside the page; null for
  // none (a URL of the network or a local file for a page on the web, reported).
  sourceOf(element) {
    const src = element.getAttribute(element.localName === 'object' ? 'data' : 'src');
    if (!src) return null;
    if (/^data:/i.test(src)) return {url: src, file: ''};
    if (/^[a-z][a-z0-9+.-]*:/i.test(src) || src.startsWith('//')) {
      this.page.report(`the embedding's src ${src} is not streamed: ` +
                  (/^file:/i.test(src) ? 'a page on the web may not load local files'
                    : 'it is not available offline'));
      return null;
    }
    const file = path.resolve(path.dirname(this.page.run.file), src.replace(/[?#].*$/, ''));
    if (!fs.existsSync(file)) {
      this.page.report(`the embedding's src ${src}: no such file ${file}`);
      return null;
    }
    return {url: new URL(src, this.page.run.location.href).href, file};
  }

  // An embedding left the document: its instance is destroyed, as in Firefox.
  removed(element) {
    const embedding = this.embeddingOf(element);
    if (embedding === undefined) return;
    this.destroy(embedding);
    this.list.splice(this.list.indexOf(embedding), 1);
  }

  destroy(embedding) {
    if (embedding.number === 0) return;
    const w = new Writer(kinds.request, toPlugin.destroy);
    w.u32(embedding.number);
    this.page.plugin.request(w);
    this.detach(embedding);
  }

  detach(embedding) {
    if (embedding.number === 0) return;
    this.page.runtime.forgetInstance(embedding.number);
    this.page.runtime.instances.delete(embedding.number);
    if (embedding.scriptable !== null) {
      Reflect.setPrototypeOf(embedding.element, Reflect.getPrototypeOf(embedding.scriptable));
      embedding.scriptable = null;
    }
    embedding.number = 0;
  }

  // The plug-in's process ended (a crash or a hang it reported, as Firefox's plug-in
  // container did): its instances are gone, their elements lose the plug-in's object,
  // its objects throw, and the page goes on.
  pluginGone() {
    for (const embedding of this.list) this.detach(embedding);
  }

  // The embedding's element is callable, as Firefox's legacy caller has it: the call
  // goes to the plug-in's scriptable object in its prototype chain.
  makeElement(window, proto) {
    const runtime = this.page.runtime;
    // An arrow function: not a constructor, so `new` on the element is a TypeError.
    const element = window.eval('(f) => (...a) => f(...a)')((...args) => {
      const holder = runtime.holderOf(Reflect.getPrototypeOf(element));
      if (holder === undefined) throw runtime.error('Component is not available');
      return runtime.call(toPlugin.invokeDefault, holder, undefined, args);
    });
    delete element.name;
    delete element.length;
    Reflect.setPrototypeOf(element, proto);
    return element;
  }
}

module.exports = {Embeddings};
