// Firefox's rules for script and the plug-in's objects, each line one rule as page
// script sees it: what a value is, or what a call throws.
function show(label, f) {
  let text;
  try {
    const value = f();
    text = typeof value + ' ' + String(value);
  } catch (e) {
    text = 'threw ' + (e instanceof Error ? e.name : typeof e + ' ' + e);
  }
  console.log(label + ': ' + text);
}
const p = plugin;
show('the element', () => typeof p);
show('as a string', () => String(p));
show('a method', () => typeof p.Hello);
show('one function per name', () => p.Hello === p.Hello);
show('in', () => 'Hello' in p && !('NoSuchMethod' in p));
show('an unknown name', () => p.NoSuchMethod);
show('a DOM member', () => p.tagName + ' ' + p.getAttribute('type'));
show('an expando stays on the element', () => { p.mark = 7; return p.mark + ' ' + Object.keys(p); });
show('the object called', () => p());
show('new on the element', () => new p());
show('a call', () => p.Hello());
show('an integer argument', () => p.GetKeyValue(42));
show('a double for a boolean', () => p.SetSilentModeEnabled(1.5));
show('the wrong case', () => p.hello());
show('the call after an exception', () => p.HelloWorld());
show('too few arguments', () => p.StartGame('t'));
show('a method read off and called', () => { const f = p.Hello; return f.call(p); });
show('instanceof', () => p instanceof HTMLEmbedElement && p instanceof Element);
