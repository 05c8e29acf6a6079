// localStorage and sessionStorage, kept in memory for the run: the Storage methods,
// and the stored keys as the object's own properties, as browsers show them
// (localStorage.name = 'x' stores "x"; delete removes it).

export function Storage() {
  throw new TypeError('Illegal constructor');
}

const methods = {
  key(n) {
    const keys = [...store(this).keys()];
    return n >>> 0 < keys.length ? keys[n >>> 0] : null;
  },
  getItem(key) {
    const value = store(this).get(String(key));
    return value === undefined ? null : value;
  },
  setItem(key, value) { store(this).set(String(key), String(value)); },
  removeItem(key) { store(this).delete(String(key)); },
  clear() { store(this).clear(); },
};
const stores = new WeakMap();
function store(storage) {
  const found = stores.get(storage);
  if (found === undefined) throw new TypeError("'Storage' method called on an incompatible object");
  return found;
}
for (const name of Object.keys(methods)) {
  Object.defineProperty(Storage.prototype, name, {value: methods[name], writable: true,
                                                   enumerable: true, configurable: true});
}
Object.defineProperty(Storage.prototype, 'length', {
  get() { return store(this).size; }, enumerable: true, configurable: true});
Object.defineProperty(Storage.prototype, Symbol.toStringTag, {value: 'Storage'});

export function makeStorage() {
  const items = new Map();
  const target = Object.create(Storage.prototype);
  const storage = new Proxy(target, {
    get(t, name, receiver) {
      if (typeof name === 'string' && !(name in Storage.prototype) && items.has(name)) {
        return items.get(name);
      }
      return Reflect.get(t, name, receiver);
    },
    set(t, name, value) {
      if (typeof name !== 'string') return Reflect.set(t, name, value);
      items.set(name, String(value));
      return true;
    },
    has(t, name) { return (typeof name === 'string' && items.has(name)) || Reflect.has(t, name); },
    deleteProperty(t, name) {
      if (typeof name === 'string') items.delete(name);
      return true;
    },
    ownKeys() { return [...items.keys()]; },
    getOwnPropertyDescriptor(t, name) {
      if (typeof name !== 'string' || !items.has(name)) return undefined;
      return {value: items.get(name), writable: true, enumerable: true, configurable: true};
    },
    defineProperty(t, name, d) {
      if (typeof name !== 'string' || !('value' in d)) return false;
      items.set(name, String(d.value));
      return true;
    },
  });
  stores.set(storage, items);
  return storage;
}
