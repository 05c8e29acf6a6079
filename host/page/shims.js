// What the bundled packages expect of V8 and the engine has not, given to them alone
// (esbuild's define points their references here): page script sees none of it.

// DOMException's constructor asks V8 for its stack.
export function captureStackTrace(target) {
  try {
    target.stack = new Error().stack;
  } catch (e) {
    // a frozen target keeps no stack
  }
}
