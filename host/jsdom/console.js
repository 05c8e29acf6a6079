// The page's console as Firefox's formats it: a first argument that is a string takes
// %s %d %i %f %o %O %c and %%; the other arguments follow, strings as they are and
// everything else shown readably (objects by object-inspect, elements as their tag).
// log, info, debug, dir, table, trace, count, time and group lines go to standard
// output, warn, error and a failed assert to standard error.
import inspectValue from 'object-inspect';

const inspectOptions = {depth: 4, quoteStyle: 'double', customInspect: false};

function isNode(value) {
  return typeof Node === 'function' && value instanceof Node;
}

function describeNode(node) {
  if (node.nodeType === 1) {
    let text = '<' + node.localName;
    for (const a of Array.from(node.attributes)) text += ' ' + a.name + '="' + a.value + '"';
    return text + '>';
  }
  if (node.nodeType === 9) return 'HTMLDocument ' + node.URL;
  if (node.nodeType === 3) return '#text ' + JSON.stringify(node.data);
  return node.nodeName;
}

// One value as the console shows it; strings at the top level go as they are.
export function show(value, top) {
  if (typeof value === 'string') return top ? value : JSON.stringify(value);
  if (value instanceof Error) return String(value);
  if (isNode(value)) return describeNode(value);
  try {
    return inspectValue(value, inspectOptions);
  } catch (e) {
    return String(value);
  }
}

export function format(args) {
  const parts = [];
  let rest = 0;
  if (typeof args[0] === 'string' && args.length > 1) {
    rest = 1;
    const text = args[0].replace(/%([sdifoOc%])/g, (all, kind) => {
      if (kind === '%') return '%';
      if (rest >= args.length) return all;
      const value = args[rest++];
      switch (kind) {
        case 's': return typeof value === 'string' ? value : show(value, true);
        case 'd': case 'i': return String(parseInt(value, 10));
        case 'f': return String(parseFloat(value));
        case 'c': return '';
        default: return show(value, false);
      }
    });
    parts.push(text);
  }
  for (let i = rest; i < args.length; i++) parts.push(show(args[i], true));
  return parts.join(' ');
}

export function makeConsole(host) {
  let indent = '';
  const counts = new Map(), timers = new Map();
  const out = (isError, text) => {
    const line = indent === '' ? text : text.split('\n').map((l) => indent + l).join('\n');
    (isError ? host.error : host.log)(line);
  };
  const console = {
    log() { out(false, format(arguments)); },
    info() { out(false, format(arguments)); },
    debug() { out(false, format(arguments)); },
    trace() { out(false, format(arguments)); },
    dir(value) { out(false, show(value, false)); },
    table() { out(false, format(arguments)); },
    warn() { out(true, format(arguments)); },
    error() { out(true, format(arguments)); },
    exception() { out(true, format(arguments)); },
    assert(condition, ...rest) {
      if (!condition) out(true, 'Assertion failed' + (rest.length ? ': ' + format(rest) : ''));
    },
    count(label = 'default') {
      const n = (counts.get(String(label)) || 0) + 1;
      counts.set(String(label), n);
      out(false, label + ': ' + n);
    },
    time(label = 'default') { timers.set(String(label), Date.now()); },
    timeEnd(label = 'default') {
      const began = timers.get(String(label));
      if (began === undefined) return;
      timers.delete(String(label));
      out(false, label + ': ' + (Date.now() - began) + 'ms');
    },
    group() {
      if (arguments.length) out(false, format(arguments));
      indent += '  ';
    },
    groupCollapsed() { console.group.apply(console, arguments); },
    groupEnd() { indent = indent.slice(2); },
  };
  Object.defineProperty(console, Symbol.toStringTag, {value: 'Console'});
  return console;
}
