// What jsdom has no answer to, answered as a browser does: layout for what is displayed
// (an element shown by its computed style and its ancestors' has a size, an
// offsetParent and one client rect; a hidden one has none), so that visibility tests
// such as jQuery's :visible answer as in Firefox; named access where jsdom has none
// (document.NAME for a named embed, form, image or object, form.NAME for its
// controls); the style object's class name as Firefox 52 shows it. Made in the page's
// realm; `native` makes a function the DOM's own, native as the browser's.
const kReplacedSize = [240, 200];  // an embedding without a size: Firefox's plug-in frame
const kTextSize = [100, 18];       // any other element without one

export function installLayout(window, native) {
  const {document, Element, HTMLElement, HTMLFormElement, Document, CSSStyleDeclaration} = window;

  function shown(element) {
    if (!element.isConnected) return false;
    for (let e = element; e !== null; e = e.parentElement) {
      if (window.getComputedStyle(e).display === 'none') return false;
    }
    return true;
  }

  // The style's size (inline or from a style sheet) before the element's attribute,
  // which CSS ranks below any rule.
  function pixels(element, name) {
    const given = window.getComputedStyle(element)[name] || element.getAttribute(name) || '';
    const m = /^\s*(\d+(?:\.\d+)?)(px)?\s*$/.exec(given);
    return m ? Number(m[1]) : null;
  }

  function size(element) {
    const replaced = /^(embed|object|img|iframe|canvas|video)$/.test(element.localName);
    const fallback = replaced ? kReplacedSize : kTextSize;
    const width = pixels(element, 'width');
    const height = pixels(element, 'height');
    return [width !== null ? width : fallback[0], height !== null ? height : fallback[1]];
  }

  function rect(element) {
    const [width, height] = shown(element) ? size(element) : [0, 0];
    return new window.DOMRect(0, 0, width, height);
  }

  function getter(proto, name, get) {
    Object.defineProperty(proto, name, {get: native(Object.getOwnPropertyDescriptor({get [name]() {
      return get(this);
    }}, name).get), configurable: true, enumerable: true});
  }

  getter(HTMLElement.prototype, 'offsetWidth', (e) => (shown(e) ? size(e)[0] : 0));
  getter(HTMLElement.prototype, 'offsetHeight', (e) => (shown(e) ? size(e)[1] : 0));
  getter(HTMLElement.prototype, 'offsetTop', () => 0);
  getter(HTMLElement.prototype, 'offsetLeft', () => 0);
  getter(HTMLElement.prototype, 'offsetParent', (e) => {
    if (!shown(e) || e === document.body || e === document.documentElement) return null;
    for (let p = e.parentElement; p !== null; p = p.parentElement) {
      if (p === document.body || window.getComputedStyle(p).position !== 'static') return p;
    }
    return document.body;
  });
  Object.defineProperty(Element.prototype, 'getBoundingClientRect', {
    value: native({getBoundingClientRect() { return rect(this); }}.getBoundingClientRect),
    writable: true, configurable: true,
  });
  Object.defineProperty(Element.prototype, 'getClientRects', {
    value: native({getClientRects() {
      const list = shown(this) ? [rect(this)] : [];
      list.item = (i) => list[i] || null;
      return list;
    }}.getClientRects),
    writable: true, configurable: true,
  });

  // Named properties below an interface's own members: a name nothing else answers
  // (looked up once at a time: the lookup itself reads the object).
  let looking = false;
  function namedBelow(proto, find) {
    const parent = Object.getPrototypeOf(proto);
    Object.setPrototypeOf(proto, new Proxy(parent, {
      get(target, name, receiver) {
        if (typeof name === 'string' && !looking && !Reflect.has(target, name) &&
            receiver instanceof proto.constructor) {
          looking = true;
          try {
            const found = find(receiver, name);
            if (found !== null) return found;
          } finally {
            looking = false;
          }
        }
        return Reflect.get(target, name, receiver);
      },
      has(target, name) { return Reflect.has(target, name); },
    }));
  }
  const quoted = (name) => '"' + name.replace(/["\\]/g, '\\$&') + '"';
  namedBelow(Document.prototype, (doc, name) => {
    if (name === '' || doc !== document) return null;
    const n = quoted(name);
    const found = doc.querySelectorAll(`embed[name=${n}], form[name=${n}], img[name=${n}], ` +
                                       `object[name=${n}], object[id=${n}], img[id=${n}][name]`);
    return found.length === 0 ? null : found.length === 1 ? found[0] : found;
  });
  namedBelow(HTMLFormElement.prototype, (form, name) => {
    if (name === '') return null;
    const control = form.elements.namedItem(name);
    return control !== null && control !== undefined ? control : null;
  });

  Object.defineProperty(CSSStyleDeclaration.prototype, Symbol.toStringTag,
                        {value: 'CSS2Properties', configurable: true});
}
