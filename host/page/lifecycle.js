// A page's life as a browser leads it, driven by the host one step at a time:
//
// - parse(): the HTML parser goes on until it reaches something the host must act on,
//   and answers it: a script element once its end tag is parsed ({kind: 'script'},
//   JavaScript types only), an <embed> when it is inserted, an <object> once its end
//   tag is parsed (its <param>s known) ({kind: 'embed'}), or {kind: 'end'}. The
//   parser waits meanwhile, so that a script sees what came before it and nothing of
//   what comes after. An <embed> or <object> inside an <object> is the outer one's
//   fallback content: it is answered only when the host made no instance of the outer
//   one (parse(false) after its action).
// - then the end of the document: readyState "interactive", DOMContentLoaded,
//   readyState "complete", load and pageshow; at the page's close beforeunload,
//   pagehide and unload.
import {internal} from './internal.js';

const kJavaScriptTypes = new Set([
  'application/ecmascript', 'application/javascript', 'application/x-ecmascript',
  'application/x-javascript', 'text/ecmascript', 'text/javascript', 'text/javascript1.0',
  'text/javascript1.1', 'text/javascript1.2', 'text/javascript1.3', 'text/javascript1.4',
  'text/javascript1.5', 'text/jscript', 'text/livescript', 'text/x-ecmascript',
  'text/x-javascript']);

// Whether a script element is one Firefox 52 runs ("module" it does not know).
function isJavaScript(element) {
  let type = element.getAttribute('type');
  if (type === null) {
    const language = element.getAttribute('language');
    type = language ? 'text/' + language : '';
  }
  type = type.trim().toLowerCase().split(';')[0].trim();
  return type === '' || kJavaScriptTypes.has(type);
}

function attributesOf(element) {
  return Array.from(element.attributes, (a) => [a.name, a.value]);
}

// The <param>s of an <object>: its own, not those of an <object> inside it.
function paramsOf(object) {
  return Array.from(object.getElementsByTagName('param'))
      .filter((p) => {
        let owner = p.parentNode;
        while (owner !== null && owner.localName !== 'object') owner = owner.parentNode;
        return owner === object && p.hasAttribute('name');
      })
      .map((p) => [p.getAttribute('name'), p.getAttribute('value')]);
}

export function makePage(window, dom, fire) {
  const {HTMLParser, impl} = dom;
  let parser = null, document = null, stack = null;
  let markup = '', searchFrom = 0, lineFrom = 0, line = 1;
  let parsing = false, started = false, done = false;
  let waitingScript = null;      // a script element whose end tag is still to come
  const openObjects = [];        // <object>s being parsed, outermost first
  const found = [];              // what the host is to be told of, in order
  let lastEmbedding = null;

  // The page's own parser, whose stack of open elements says when an element ends.
  const ElementStack = HTMLParser.ElementStack;
  let capturing = false;
  HTMLParser.ElementStack = function () {
    ElementStack.call(this);
    if (capturing) stack = this;
  };
  HTMLParser.ElementStack.prototype = ElementStack.prototype;

  // The page line where an inline script's text starts (script text is the markup's
  // own, with its line ends made LF).
  function lineOf(text) {
    if (text === '') return 0;
    const at = markup.indexOf(text, searchFrom);
    if (at < 0) return 0;
    for (let i = markup.indexOf('\n', lineFrom); i >= 0 && i < at; i = markup.indexOf('\n', i + 1)) {
      line++;
    }
    lineFrom = at;
    searchFrom = at + text.length;
    return line;
  }

  function scriptAction(element) {
    const text = element.text;
    return {kind: 'script', element, src: element.getAttribute('src'), text, line: lineOf(text),
            async: element.hasAttribute('async'), defer: element.hasAttribute('defer'),
            charset: element.getAttribute('charset') || ''};
  }

  function embeddingAction(item) {
    const element = item.element;
    return {kind: 'embed', element, tag: element.localName,
            attributes: attributesOf(element),
            params: element.localName === 'object' ? paramsOf(element) : [], item};
  }

  function inserted(mutation) {
    const node = mutation.node;
    if (!parsing || mutation.type !== dom.insert || node.nodeType !== 1) return;
    if (node.localName === 'script' && node.namespaceURI === 'http://www.w3.org/1999/xhtml') {
      waitingScript = node;
      return;
    }
    if (node.localName !== 'embed' && node.localName !== 'object') return;
    const item = {element: node, inner: []};
    if (openObjects.length > 0) {
      openObjects[openObjects.length - 1].inner.push(item);
    } else if (node.localName === 'embed') {
      found.push(embeddingAction(item));
    }
    if (node.localName === 'object') openObjects.push(item);
  }

  // Called by the parser before each character: it waits while the host has
  // something to act on.
  function pause() {
    if (waitingScript !== null && stack.top !== waitingScript) {
      const script = waitingScript;
      waitingScript = null;
      if (!script._already_started && isJavaScript(script)) found.push(scriptAction(script));
    }
    while (openObjects.length > 0 && !stack.elements.includes(openObjects[openObjects.length - 1].element)) {
      const item = openObjects.pop();
      if (openObjects.length === 0) found.push(embeddingAction(item));
    }
    return found.length > 0;
  }

  function run(text, end) {
    parsing = true;
    try {
      return parser.parse(text, end, pause);
    } finally {
      parsing = false;
    }
  }

  const api = {
    // A document of `html` at `url` (the page's real address), or, for a bare script,
    // an empty one holding one <embed> of `bare` (its attributes).
    open: internal(function (html, url, bare) {
      capturing = true;
      try {
        parser = new HTMLParser(url, undefined, {});
      } finally {
        capturing = false;
      }
      document = parser.document();
      document.mutationHandler = inserted;
      markup = bare ? '' : html.replace(/\r\n?/g, '\n');
      if (bare) {
        run('<!DOCTYPE html><html><head></head><body></body></html>', true);
        const embed = document.createElement('embed');
        for (const [name, value] of bare) embed.setAttribute(name, value);
        document.body.appendChild(embed);
        found.push(embeddingAction({element: embed, inner: []}));
        started = done = true;
        document.defaultView = window;
      }
      return document;
    }),
    // The next thing the host acts on; `created`: whether the embedding answered last
    // got an instance (else its fallback content comes next).
    parse: internal(function (created) {
      if (lastEmbedding !== null && !created) {
        found.unshift(...lastEmbedding.inner.map(embeddingAction));
      }
      lastEmbedding = null;
      while (found.length === 0 && !done) {
        // The whole markup at once; after a wait, on from where the parser stopped.
        const more = started ? run('', false) : run(markup, true);
        started = true;
        if (!more) {
          done = true;
          // Only now: the parser's own end would fire a load event at a window.
          document.defaultView = window;
          waitingScript = null;  // a script without its end tag does not run
          while (openObjects.length > 0) {
            const item = openObjects.pop();
            if (openObjects.length === 0) found.push(embeddingAction(item));
          }
        }
      }
      if (found.length === 0) return {kind: 'end'};
      const next = found.shift();
      if (next.kind === 'embed') lastEmbedding = next.item;
      return next;
    }),
    // The steps of the document's end, and of the page's close.
    interactive: internal(function () {
      document.readyState = 'interactive';
      fire(document, 'readystatechange');
    }),
    contentLoaded: internal(function () {
      fire(document, 'DOMContentLoaded', {bubbles: true});
      fire(window, 'DOMContentLoaded', {bubbles: true});
    }),
    complete: internal(function () {
      document.readyState = 'complete';
      fire(document, 'readystatechange');
      fire(window, 'load');
      fire(window, 'pageshow', {persisted: false});
    }),
    close: internal(function () {
      fire(window, 'beforeunload', {cancelable: true});
      fire(window, 'pagehide', {persisted: false});
      fire(window, 'unload');
    }),
  };
  return api;
}
