// The page host's page process: runs a page (an HTML file, or a bare script as a
// page with one embedding) in jsdom as Firefox 52 would, with the plug-in in a
// process of its own (kelvra_plugin_process.exe under Wine), reached through the
// protocol of host/protocol. The command line is the plug-in process's: it checks
// it, makes the registrations, finds the plug-in and says what the run is; this
// side leads the page through its life and asks the plug-in's side for every
// instance and call. See host/README.md.
'use strict';
const fs = require('fs');
const path = require('path');
const vm = require('vm');
const {JSDOM, VirtualConsole} = require('jsdom');
const parseDataURL = require('data-urls');
const {PluginProcess, Writer, ops} = require('./channel.js');
const {Runtime} = require('./npruntime.js');
const {Embeddings} = require('./embeddings.js');
const internals = require('./jsdom_internals.js');
const {Positions} = require('./errors.js');
const {ScriptClock} = require('./script_clock.js');
const {checkSyntax} = require('./syntax_level.js');

const {kinds, toPlugin} = ops;
const {ok: kExitOk, scriptError: kExitScriptError, scriptTimeout: kExitScriptTimeout,
       interrupted: kExitInterrupted} = ops.exits;
// Where a task's function waits for the script that runs it.
const kTask = Symbol.for('kelvra.task');
// A bare script's embedding.
const kBareSize = '1';

function write(fd, text) {
  fs.writeSync(fd, text.endsWith('\n') ? text : text + '\n');
}

// --- What the plug-in's side says of the run --------------------------------------

function readPairs(r) {
  const pairs = [];
  for (let n = r.u32(); n > 0; --n) pairs.push([r.text(), r.text()]);
  return pairs;
}

function readHello(r) {
  const run = {};
  run.name = r.text();
  run.file = r.text();
  run.html = r.u8() !== 0;
  run.text = r.text();
  run.charset = r.text();
  run.mimeType = r.text();
  run.elementName = r.text();
  run.attributes = readPairs(r);
  run.scriptTimeout = r.u32();
  run.stayOpen = r.u32();
  run.syntaxLevel = r.i32();
  run.location = Object.fromEntries(readPairs(r));
  run.userAgent = r.text();
  const plugin = Object.fromEntries(readPairs(r));
  const mimeTypes = [];
  for (let n = r.u32(); n > 0; --n) {
    mimeTypes.push({type: r.text(), description: r.text(), suffixes: r.text()});
  }
  run.plugins = plugin.name !== undefined ? [Object.assign(plugin, {mimeTypes})] : [];
  run.trace = r.u8() !== 0;
  run.dumpDom = r.u8() !== 0;
  return run;
}

// --- The page ---------------------------------------------------------------------

class Page {
  constructor(plugin, run) {
    this.plugin = plugin;
    this.run = run;
    this.clock = plugin.clock = new ScriptClock(run.scriptTimeout);
    this.ok = true;
    this.stopped = false;
    this.refused = kExitOk;
    this.started = null;  // the plug-in's start: null until the first embedding
    this.embeddings = new Embeddings(this);
    this.scripts = 0;
    this.timersFired = 0;
    this.positions = new Positions();
    // The parser's scripts that wait: defer ones for the parsing's end, async ones
    // for the document's (here, before load).
    this.waiting = {defer: [], async: []};
    this.requests = 0;  // XMLHttpRequests still to fail
  }

  report(text) { write(2, 'host: ' + text); }

  // The plug-in's log lines of what led here, under it.
  step() {
    if (this.started === 0 && this.plugin.open) this.plugin.request(new Writer(kinds.request, toPlugin.drain));
  }

  console(isError, line) {
    write(isError ? 2 : 1, line);
    this.step();
  }

  // --- Scripts --------------------------------------------------------------------

  // A src script's text: a file beside the page, or nothing (reported).
  loadScript(element, src, charset) {
    if (src === null || src === '') return null;
    ++this.scripts;
    // A data: script is the page's own text, there without a network.
    const data = /^data:/i.test(src) ? parseDataURL(src) : null;
    if (data !== null) {
      const label = data.mimeType.parameters.get('charset') || charset || this.run.charset;
      const name = src.length > 60 ? `${src.slice(0, 57)}...` : src;
      return this.decodeScript(data.body, label, src, name);
    }
    if (/^[a-z][a-z0-9+.-]*:/i.test(src) || src.startsWith('//')) {
      this.report(`script ${src} not loaded: ${new URL(src, this.run.location.href).href} is not ` +
                  'available offline (the host has no network)');
      this.ok = false;
      return null;
    }
    const file = path.resolve(path.dirname(this.run.file), src.replace(/[?#].*$/, ''));
    let bytes;
    try {
      bytes = fs.readFileSync(file);
    } catch (e) {
      this.report(`script ${src} not loaded: ${file}: no such file`);
      this.ok = false;
      return null;
    }
    return this.decodeScript(bytes, charset || this.run.charset, src, file);
  }

  // A script's bytes in their charset; a UTF-8 byte-order mark overrides it.
  decodeScript(bytes, charset, src, name) {
    const bom = bytes.length >= 3 && bytes[0] === 0xef && bytes[1] === 0xbb && bytes[2] === 0xbf;
    const label = bom ? 'utf-8' : charset;
    try {
      return {text: new TextDecoder(label, {fatal: true, ignoreBOM: false}).decode(bytes), name};
    } catch (e) {
      this.report(`script ${src} not loaded: ${name} is not ${label} (${e.message})`);
      this.ok = false;
      return null;
    }
  }

  // One script of the page, run where the parser reached it.
  runScript(element, text, name, firstLine) {
    if (name === null) ++this.scripts;
    this.runCode(text, name === null ? this.run.file : name, firstLine, element);
  }

  runCode(text, name, firstLine, element) {
    if (this.stopped) return;
    if (this.firstScript === undefined) {
      this.firstScript = process.uptime() * 1000;  // the bench's figure (KELVRA_PAGE_TIMING)
      if (process.env.KELVRA_PAGE_TIMING) this.report(`first script after ${this.firstScript.toFixed(0)} ms`);
    }
    this.step();
    this.report(`running ${name}`);
    // An inline script's lines are counted from the top of its page.
    const placed = firstLine > 1 ? '\n'.repeat(firstLine - 1) + text : text;
    this.positions.add(name, placed, path.dirname(this.run.file));
    if (this.run.syntaxLevel !== 0) {
      checkSyntax(placed, name, this.run.syntaxLevel, (line) => this.report(line));
    }
    const run = internals.outside(() => {
      const script = new vm.Script(text, {filename: name, lineOffset: firstLine - 1});
      this.clock.script(() => script.runInContext(this.context, {breakOnSigint: true}));
    });
    try {
      internals.asCurrentScript(this.window.document, element, run);
    } catch (e) {
      this.failed(e, name, null, '', firstLine);
    }
  }

  // A task of the page that is no script of its own (a timer's call, a listener), run
  // as script is run, so that the script time-out and Ctrl-C reach it too. With a
  // `label` its error is reported here as that task's; without, it goes on to jsdom,
  // which reports a listener's error, unless it is the time-out.
  runTask(f, label) {
    if (this.stopped) return undefined;
    const outer = this.task;
    this.task = f;
    try {
      return this.clock.script(() => this.taskScript.runInContext(this.context, {breakOnSigint: true}));
    } catch (e) {
      if (label === null && !this.isStop(e)) throw e;
      this.failed(e, this.run.name, label || 'event');
      return undefined;
    } finally {
      this.task = outer;
    }
  }

  isStop(e) {
    return e !== null && typeof e === 'object' && e.code === 'ERR_SCRIPT_EXECUTION_INTERRUPTED';
  }

  // A script stopped while it waited for the plug-in left a frame half read: the
  // channel cannot go on, so the plug-in's process ends and the page closes without it.
  stoppedInCall() {
    if (this.plugin.waiting === 0) return;
    this.plugin.waiting = 0;
    this.report("the page was stopped while it waited for the plug-in: the plug-in's process ends");
    this.plugin.gone();
  }

  // An uncaught error: reported with the page's file and line; a time-out stops the page.
  failed(error, name, task, prefix = '', firstLine = 1) {
    this.reportFailure(error, name, task, prefix, firstLine);
    // Last: the scripts under this one stop at once, this one too.
    if (this.isStop(error)) this.clock.stopOuter();
  }

  reportFailure(error, name, task, prefix, firstLine) {
    this.ok = false;
    if (this.stopped) return;  // what a stop left behind
    if (this.isStop(error)) this.stoppedInCall();
    if (this.isStop(error) && !this.clock.fired) {
      this.stopped = true;
      this.interrupted = true;
      this.report('interrupted; stopping the page (Ctrl-C again ends at once)');
      this.report('script interrupted');
      return;
    }
    if (this.isStop(error)) {
      this.stopped = true;
      this.timedOut = true;
      this.report(`SCRIPT TIME-OUT ${name}: no end after ${this.run.scriptTimeout} s ` +
                  '(--script-timeout SECONDS, 0 for no limit)');
      return;
    }
    const what = task === null ? '' : ` (${task})`;
    const isError = error instanceof this.window.Error || error instanceof Error;
    // A value thrown that is no Error has no stack: the plug-in's exception is placed
    // where the call that threw it was made; any other, at its script.
    const thrown = isError ? error : this.runtime.thrownAt(error);
    const position = thrown !== null ? this.positions.of(thrown) : null;
    const message = prefix + (isError ? `${error.name}: ${error.message}`
      : `${prefix === '' ? 'uncaught exception: ' : ''}${String(error)}`);
    // Without a position, an inline script is named by its first line.
    const where = position !== null ? position.where
      : firstLine > 1 ? `${name} (the script from line ${firstLine})` : name;
    this.report(`SCRIPT ERROR ${where}${what}: ${message}`);
    if (position !== null && position.text !== '') this.report(`  ${position.text}`);
  }

  // What jsdom tells of the page: an uncaught error of a listener or handler fails the
  // run as the page's own; what it does not implement is said; a request that failed
  // offline was reported when it was made, and a browser shows the page no more.
  jsdomError(error) {
    if (error.type === 'unhandled exception') {
      this.failed(error.detail !== undefined ? error.detail : error, this.run.name, 'event');
    } else if (error.type === 'not implemented') {
      this.report(`not in the host: ${error.message}`);
    } else if (error.type !== 'XMLHttpRequest') {
      this.report(`${error.type}: ${error.message}`);
    }
  }

  // A turn of the plug-in's own loop (its timers, asynchronous calls and streams):
  // {wait, counts}, wait the ms until its next event (0xFFFFFFFF: none pending); null
  // without a plug-in.
  pump() {
    if (this.started !== 0 || !this.plugin.open) return null;
    const r = this.plugin.request(new Writer(kinds.request, toPlugin.pump));
    if (r === null) return null;
    const wait = r.u32();
    const counts = {timers: r.u32(), calls: r.u32(), streams: r.u32(), refused: r.u32()};
    this.step();
    return {wait, counts};
  }

  // --- The page's life ------------------------------------------------------------

  open() {
    const run = this.run;
    const page = this;
    const html = run.html ? run.text : '<!DOCTYPE html><html><head></head><body></body></html>';
    internals.install({
      task: (f) => page.runTask(f, null),
      runScript: (element, text, name, firstLine) => page.runScript(element, text, name, firstLine),
      loadScript: (element, src, charset) => page.loadScript(element, src, charset),
      later: (when, run) => page.waiting[when].push(run),
      makeElement: (window, proto) => page.embeddings.makeElement(window, proto),
      inserted: (element) => page.embeddings.inserted(element),
      removed: (element) => page.embeddings.removed(element),
      navigate: (what, value) => page.report(
        `the page asked to navigate (${what} ${JSON.stringify(String(value))}); a page run does ` +
        `not navigate, the location stays ${page.run.location.href}`),
      offline: (method, url) => {
        page.report(`offline: XMLHttpRequest ${method} ${url} fails with a network error`);
        ++page.requests;
        return () => { --page.requests; };
      },
    });
    const windowParts = fs.readFileSync(path.join(__dirname, 'page-window.js'), 'utf8');
    this.dom = new JSDOM(html, {
      url: run.location.href,
      runScripts: 'dangerously',
      pretendToBeVisual: true,
      includeNodeLocations: true,
      virtualConsole: new VirtualConsole().on('jsdomError', (e) => page.jsdomError(e)),
      beforeParse(window) {
        page.window = window;
        const domFunctions = internals.adoptInterfaces(window);
        page.context = internals.scriptContext(window);
        Object.defineProperty(window, kTask, {value: () => page.task()});
        page.taskScript = new vm.Script(`globalThis[Symbol.for(${JSON.stringify(kTask.description)})]()`,
                                        {filename: 'kelvra-task'});
        page.runtime = new Runtime(window, page.plugin, (e) => page.console(true, String(e)));
        if (run.trace) page.runtime.trace = (line) => write(2, 'trace: ' + line);
        window.kelvraHost = {
          config: {plugins: run.plugins, userAgent: run.userAgent},
          log: (line) => page.console(false, line),
          error: (line) => page.console(true, line),
          timerFired: () => { ++page.timersFired; },
          runTimer: (f) => page.runTask(f, 'timer'),
          pendingTimers: (count) => { page.pendingTimers = count; },
          nativeFunctions: (mark) => { page.runtime.markNative = mark; },
          domFunction: (f) => internals.domFunction(f, window.Function.prototype),
        };
        window.eval(windowParts);
        for (const f of domFunctions) page.runtime.markNative(f);
        page.runtime.inDom = () => internals.dom.depth > 0;
        window.document.addEventListener('readystatechange', () => {
          const state = window.document.readyState;
          const due = state === 'interactive' ? page.waiting.defer : state === 'complete' ? page.waiting.async : [];
          for (const run of due.splice(0)) run();
        });
        // The page's life up to load and pageshow, with the jobs their handlers left.
        page.shown = new Promise((resolve) => {
          window.addEventListener('pageshow', () => queueMicrotask(resolve));
        });
      },
    });
    if (!run.html && !this.stopped) this.bare();
    if (run.html) {
      this.report(`HTML page parsed: ${this.embeddings.list.length} embeddings, ${this.scripts} scripts`);
    }
  }

  // A bare script: a page with one embedding, named by the options, that the script
  // sees by that name (null without a scriptable object).
  bare() {
    const run = this.run;
    const document = this.window.document;
    const element = document.createElement('embed');
    const attributes = [['type', run.mimeType], ['id', run.elementName], ['width', kBareSize],
      ['height', kBareSize]].concat(run.attributes);
    for (const [name, value] of attributes) element.setAttribute(name, value);
    document.body.appendChild(element);
    if (this.refused !== kExitOk) return;
    const embedding = this.embeddings.embeddingOf(element);
    Object.defineProperty(this.window, run.elementName, {
      value: embedding && embedding.scriptable !== null ? element : null,
      writable: true, configurable: true,
    });
    this.runCode(run.text, run.name, 1, null);
  }

  // Until nothing is pending, the page's timers or the plug-in's timers, calls and
  // streams (at most --stay-open seconds after load).
  async live() {
    await this.shown;
    if (this.ok) this.report('script finished');
    this.step();
    const began = Date.now();
    const limit = this.run.stayOpen * 1000;
    let counts = {timers: 0, calls: 0, streams: 0, refused: 0};
    while (!this.stopped) {
      const plugin = this.pump();
      if (plugin !== null) counts = plugin.counts;
      const waiting = plugin !== null && plugin.wait !== 0xffffffff;
      if (this.pendingTimers() === 0 && this.requests === 0 && !waiting) break;
      if (limit > 0 && Date.now() - began >= limit) {
        this.report(`the page closes after ${this.run.stayOpen} s with timers, streams or calls ` +
                    'still pending (--stay-open SECONDS)');
        break;
      }
      const wait = waiting ? Math.min(plugin.wait, 5) : 5;
      await new Promise((resolve) => setTimeout(resolve, wait));
    }
    if (this.timersFired + counts.timers + counts.calls + counts.streams + counts.refused > 0) {
      this.report(`page idle: ${this.timersFired} script timers, ${counts.timers} plug-in timers, ` +
                  `${counts.calls} async calls, ${counts.streams} streams delivered, ` +
                  `${counts.refused} URLs refused (offline)`);
    }
  }

  close() {
    const window = this.window;
    for (const type of ['beforeunload', 'pagehide', 'unload']) {
      window.dispatchEvent(new window.Event(type));
    }
    for (const embedding of this.embeddings.list) this.embeddings.destroy(embedding);
    if (this.run.dumpDom) write(1, this.dom.serialize());
    // Nothing of the page runs once it is unloaded: not the observers of what the
    // closing window takes down.
    this.stopped = true;
    window.close();
  }

  exitCode(pluginCode) {
    if (this.refused !== kExitOk) return this.refused;
    if (pluginCode !== kExitOk) return pluginCode;
    if (this.timedOut) return kExitScriptTimeout;
    if (this.interrupted) return kExitInterrupted;
    return this.ok ? kExitOk : kExitScriptError;
  }
}

let plugin = null;
let page = null;

async function main() {
  const exe = process.env.KELVRA_PLUGIN_PROCESS ||
              path.join(__dirname, 'kelvra_plugin_process.exe');
  plugin = new PluginProcess([process.env.KELVRA_WINE || 'wine', exe], process.argv.slice(2),
                                   (op, r, w) => page.runtime.serve(op, r, w));
  const hello = plugin.hello();
  if (hello === null) return plugin.exited;
  page = new Page(plugin, readHello(hello));
  plugin.onGone = () => page.embeddings.pluginGone();
  page.open();
  if (page.refused === kExitOk && !page.stopped) await page.live();
  page.close();
  const w = new Writer(kinds.request, toPlugin.close);
  const r = plugin.request(w);
  const pluginCode = r !== null ? r.i32() : await plugin.exited;
  plugin.gone();
  const exited = await plugin.exited;
  return page.exitCode(pluginCode !== kExitOk ? pluginCode : exited);
}

// A promise rejected with no handler by the end of its task is that task's error; the
// page goes on.
process.on('unhandledRejection', (reason) => {
  if (plugin !== null && page !== null) page.failed(reason, page.run.name, null, 'unhandled promise rejection: ');
});

// Ctrl-C between scripts stops the page as it stops a script (scripts run with
// breakOnSigint), and a second one ends the run at once; the script clock's own
// signal that lands after its script ended stops nothing.
process.on('SIGINT', () => {
  if (page !== null && page.clock.restopping) {
    page.clock.restopping = false;
    return;
  }
  if (page === null || page.clock.fired) return;
  if (page.interrupted) {
    write(2, 'host: interrupted');
    plugin.gone();
    process.exit(kExitInterrupted);
  }
  page.failed(Object.assign(new Error('interrupted'), {code: 'ERR_SCRIPT_EXECUTION_INTERRUPTED'}),
              page.run.name, null);
});

main().then((code) => { process.exitCode = code; }, (e) => {
  write(2, 'host: INTERNAL ERROR: ' + (e && e.stack || e));
  if (plugin !== null) plugin.gone();  // the plug-in's process ends with its input
  process.exitCode = 70;
});
