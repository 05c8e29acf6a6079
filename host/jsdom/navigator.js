// window.navigator as Firefox 52 on 32-bit Windows shows it, with navigator.plugins
// and navigator.mimeTypes listing the plug-in as its version resource describes it
// (the host hands that description in: name, description, filename, version and each
// type with its description and suffixes). The browser is offline (onLine false).

// An array-like list as the DOM's plug-in lists are: by index and by name, with
// item() and namedItem().
function list(tag, items, nameOf, fields) {
  const object = Object.assign({}, fields);
  Object.defineProperty(object, Symbol.toStringTag, {value: tag});
  items.forEach((item, i) => { object[i] = item; });
  for (const item of items) {
    if (!(nameOf(item) in object)) {
      Object.defineProperty(object, nameOf(item), {value: item, configurable: true});
    }
  }
  Object.defineProperties(object, {
    length: {value: items.length},
    item: {value(i) { return items[i >>> 0] || null; }},
    namedItem: {value(name) { return items.find((x) => nameOf(x) === String(name)) || null; }},
  });
  return object;
}

export function makeNavigator(config) {
  const plugins = [], mimeTypes = [];
  for (const p of config.plugins) {
    const plugin = {name: p.name, description: p.description, filename: p.filename,
                    version: p.version};
    const types = p.mimeTypes.map((t) => {
      const type = {type: t.type, description: t.description, suffixes: t.suffixes,
                    enabledPlugin: null};
      Object.defineProperty(type, Symbol.toStringTag, {value: 'MimeType'});
      return type;
    });
    const entry = list('Plugin', types, (t) => t.type, plugin);
    for (const type of types) {
      type.enabledPlugin = entry;
      mimeTypes.push(type);
    }
    plugins.push(entry);
  }
  const pluginArray = list('PluginArray', plugins, (p) => p.name);
  Object.defineProperty(pluginArray, 'refresh', {value() {}});
  const navigator = {
    userAgent: config.userAgent,
    appCodeName: 'Mozilla',
    appName: 'Netscape',
    appVersion: '5.0 (Windows)',
    platform: 'Win32',
    oscpu: 'Windows NT 6.1',
    product: 'Gecko',
    productSub: '20100101',
    vendor: '',
    vendorSub: '',
    buildID: '20100101',
    language: 'en-US',
    languages: Object.freeze(['en-US', 'en']),
    onLine: false,
    cookieEnabled: true,  // the run's cookie jar takes them
    doNotTrack: 'unspecified',
    hardwareConcurrency: 2,
    maxTouchPoints: 0,
    plugins: pluginArray,
    mimeTypes: list('MimeTypeArray', mimeTypes, (t) => t.type),
    javaEnabled() { return false; },
  };
  Object.defineProperty(navigator, Symbol.toStringTag, {value: 'Navigator'});
  return Object.freeze(navigator);
}
