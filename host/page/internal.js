// While the DOM's own code runs, depth[0] is above 0: the host's NPAPI classes read it
// (shared through kelvraHost.domDepth) and pass an element's lookups by the plug-in in
// its prototype chain, as a browser's native DOM never asks a plug-in.
export const depth = new Int32Array(1);

export function internal(f) {
  const wrapped = function () {
    depth[0]++;
    try {
      return f.apply(this, arguments);
    } finally {
      depth[0]--;
    }
  };
  Object.defineProperty(wrapped, 'name', {value: f.name});
  Object.defineProperty(wrapped, 'length', {value: f.length});
  return wrapped;
}

// Page script called from inside the DOM (a listener, a handler).
export function outside(f) {
  return function () {
    const saved = depth[0];
    depth[0] = 0;
    try {
      return f.apply(this, arguments);
    } finally {
      depth[0] = saved;
    }
  };
}
