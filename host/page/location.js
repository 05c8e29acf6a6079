// window.location and document.location: the page's URL as the host was given it
// (--url), split as a URL parser splits it, and unforgeable as in browsers: the parts
// are the object's own accessors, which can be neither redefined nor deleted, and
// window.location itself cannot be replaced. A page cannot navigate here: assigning
// the location or a part, assign(), replace() and reload() are reported and change
// nothing, so that what the page and the plug-in read stays the page's real address.
const kParts = ['href', 'protocol', 'host', 'hostname', 'port', 'pathname', 'search', 'hash'];

export function makeLocation(parts, report) {
  const navigate = (what, value) => {
    report('the page asked to navigate (' + what + ' ' + JSON.stringify(String(value)) +
           '); a page run does not navigate, the location stays ' + parts.href);
  };
  const location = Object.create(Location.prototype);
  const own = {};
  for (const name of kParts) {
    own[name] = {
      get() { return parts[name]; },
      set(value) { navigate('location.' + name + ' =', value); },
      enumerable: true};
  }
  own.origin = {get() { return parts.origin; }, enumerable: true};
  own.assign = {value(url) { navigate('location.assign', url); }, enumerable: true};
  own.replace = {value(url) { navigate('location.replace', url); }, enumerable: true};
  own.reload = {value() { navigate('location.reload', parts.href); }, enumerable: true};
  own.toString = {value() { return parts.href; }, enumerable: true};
  own.valueOf = {value() { return location; }};
  Object.defineProperties(location, own);
  Object.preventExtensions(location);
  return {location, navigate};
}

export function Location() {
  throw new TypeError('Illegal constructor');
}
Object.defineProperty(Location.prototype, Symbol.toStringTag, {value: 'Location'});

// `target.location` (the window's, the document's): the one object, never replaced.
export function defineLocation(target, place) {
  Object.defineProperty(target, 'location', {
    get() { return place.location; },
    set(value) { place.navigate('location =', value); },
    enumerable: true,
    configurable: false});
}
