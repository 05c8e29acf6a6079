// XMLHttpRequest and fetch as a browser that is offline answers them: an asynchronous
// request ends with readyState 4, status 0 and the error, loadend events; a
// synchronous one throws NetworkError; fetch (whatwg-fetch, on this XMLHttpRequest)
// rejects with Firefox's TypeError. Headers, Request and Response come with fetch.
// Each request is reported, since nothing of the network is reached.

const kDone = 4;
const handlerEvents = ['readystatechange', 'loadstart', 'progress', 'abort', 'error', 'load',
                       'timeout', 'loadend'];

export function installNetwork(window, dom, queue, report) {
  const {EventTarget, impl} = dom;
  const states = new WeakMap();
  const stateOf = (xhr) => {
    const state = states.get(xhr);
    if (state === undefined) throw new TypeError("'XMLHttpRequest' method called on an incompatible object");
    return state;
  };
  const fire = (xhr, type) => {
    const event = new impl.Event(type, {loaded: 0, total: 0, lengthComputable: false});
    xhr._dispatchEvent(event, true);
  };
  const setState = (xhr, readyState) => {
    stateOf(xhr).readyState = readyState;
    fire(xhr, 'readystatechange');
  };

  function XMLHttpRequest() {
    if (!new.target) throw new TypeError("Constructor XMLHttpRequest requires 'new'");
    states.set(this, {readyState: 0, method: '', url: '', async: true, sent: false});
    Object.defineProperty(this, 'upload', {value: Object.create(EventTarget.prototype)});
  }
  XMLHttpRequest.prototype = Object.create(EventTarget.prototype);
  const constants = {UNSENT: 0, OPENED: 1, HEADERS_RECEIVED: 2, LOADING: 3, DONE: kDone};
  for (const name of Object.keys(constants)) {
    XMLHttpRequest[name] = XMLHttpRequest.prototype[name] = constants[name];
  }
  const members = {
    open(method, url, async) {
      const state = stateOf(this);
      state.method = String(method).toUpperCase();
      try {
        state.url = new window.URL(String(url), window.location.href).href;
      } catch (e) {
        throw new impl.DOMException(impl.DOMException.SYNTAX_ERR);
      }
      state.async = async === undefined || !!async;
      state.sent = false;
      setState(this, 1);
    },
    setRequestHeader() {},
    overrideMimeType() {},
    getResponseHeader() { return null; },
    getAllResponseHeaders() { return ''; },
    abort() {},
    send() {
      const state = stateOf(this);
      if (state.readyState !== 1 || state.sent) {
        throw new impl.DOMException(impl.DOMException.INVALID_STATE_ERR);
      }
      state.sent = true;
      report('offline: XMLHttpRequest ' + state.method + ' ' + state.url + ' fails with a ' +
             'network error');
      if (!state.async) {
        state.readyState = kDone;
        throw dom.error(impl.DOMException.NETWORK_ERR, 'NetworkError', 'A network error occurred.');
      }
      fire(this, 'loadstart');
      queue(() => {
        setState(this, kDone);
        fire(this, 'error');
        fire(this, 'loadend');
      });
    },
  };
  for (const name of Object.keys(members)) XMLHttpRequest.prototype[name] = members[name];
  const fields = {readyState: (s) => s.readyState, status: () => 0, statusText: () => '',
                  responseURL: () => '', responseText: () => '', response: () => '',
                  responseXML: () => null};
  for (const name of Object.keys(fields)) {
    Object.defineProperty(XMLHttpRequest.prototype, name,
                          {get() { return fields[name](stateOf(this)); }, configurable: true});
  }
  for (const name of ['responseType', 'timeout', 'withCredentials']) {
    Object.defineProperty(XMLHttpRequest.prototype, name, {value: name === 'responseType' ? '' : 0,
                                                           writable: true});
  }
  for (const type of handlerEvents) {
    Object.defineProperty(XMLHttpRequest.prototype, 'on' + type, {
      get() { return this._getEventHandler(type); },
      set(v) { this._setEventHandler(type, v); },
      configurable: true});
  }
  Object.defineProperty(XMLHttpRequest.prototype, Symbol.toStringTag, {value: 'XMLHttpRequest'});
  Object.defineProperty(window, 'XMLHttpRequest', {value: XMLHttpRequest, writable: true,
                                                   configurable: true});

  // whatwg-fetch puts fetch, Headers, Request and Response on the window.
  const polyfill = require('whatwg-fetch');
  const fetch = function fetch(input, init) {
    return polyfill.fetch(input, init).catch((e) => {
      throw e instanceof TypeError ? new TypeError('NetworkError when attempting to fetch resource.')
                                   : e;
    });
  };
  Object.defineProperty(window, 'fetch', {value: fetch, writable: true, configurable: true});
}
