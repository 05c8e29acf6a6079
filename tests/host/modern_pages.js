// Pages written as for Firefox 52 and Pale Moon, one behaviour a row, against the test
// bed's plug-in: the page's console lines (exactly), the host's lines that must appear
// in this order on standard error, and the exit code.
'use strict';
const fs = require('fs');
const path = require('path');
const assert = require('node:assert/strict');
const {root, file, testPlugin, run, lines, inOrder, shown, table} = require('./runner.js');

const pages = path.join(root, 'tests', 'pages');

table('pages run as in Firefox', [
      ["language of today's engines",
       "<script>\n" +
       "var seen = [];\n" +
       "for (let i = 0; i < 3; i++) setTimeout(() => seen.push(i));\n" +
       "setTimeout(() => console.log('one i per iteration: ' + seen.join()));\n" +
       "try { const c = 1; c = 2; } catch (e) { console.log(e instanceof TypeError); }\n" +
       "class A { constructor(x) { this.x = x; } get twice() { return 2 * this.x; } }\n" +
       "const {x, ...rest} = {x: 1, y: 2, z: 3};\n" +
       "console.log('abc'.substr(-1), new A(21).twice, x, Object.keys(rest).join(),\n" +
       "            `${[...'ab'].reverse().join('')}`, 2 ** 10, [1, [2, [3]]].flat(2).join());\n" +
       "function* g() { yield 1; yield 2; }\n" +
       "(async () => { await null; console.log('async function', [...g()].join(),\n" +
       "                                        new Map([[1, 'm']]).get(1)); })();\n" +
       "</script>\n",
       ["true", "c 42 1 y,z ba 1024 1,2,3", "async function 1,2 m", "one i per iteration: 0,1,2"],
       [],
       0],
      ["a promise job runs at the end of its script, before the next script",
       "<script>Promise.resolve().then(() => console.log('job of the first script'));\n" +
       "console.log('first script');</script>\n" +
       "<script>console.log('second script');</script>\n",
       ["first script", "job of the first script", "second script"],
       [],
       0],
      ["DOM calls on the page's elements",
       "<title>A &amp; B</title><div id=\"panel\" class=\"box\">waiting</div>\n" +
       "<ul><li>a</li><li class=\"b\">b</li></ul>\n" +
       "<script>\n" +
       "var s = document.getElementById('panel');\n" +
       "s.textContent = 'ready';\n" +
       "var li = document.createElement('li'); li.textContent = 'c';\n" +
       "document.querySelector('ul').appendChild(li);\n" +
       "console.log(document.title, s.textContent, s.className, s instanceof HTMLDivElement,\n" +
       "            document.querySelector('.b').textContent, document.querySelectorAll('li').length);\n" +
       "s.innerHTML = '<b>bold</b> and <i>italic</i>';\n" +
       "console.log(s.innerHTML, s.firstChild.tagName, s.textContent, panel === s);\n" +
       "</script>\n",
       ["A & B ready box true b 3", "<b>bold</b> and <i>italic</i> B bold and italic true"],
       [],
       0],
      ["events on the window and the document, <body onload>",
       "<body onload=\"console.log('body onload ' + event.type)\">\n" +
       "<script>\n" +
       "document.addEventListener('readystatechange', function () {\n" +
       "  console.log('readystatechange ' + document.readyState); });\n" +
       "document.addEventListener('DOMContentLoaded', function () {\n" +
       "  console.log('document DOMContentLoaded'); });\n" +
       "window.addEventListener('DOMContentLoaded', function () { console.log('window DOMContentLoaded'); });\n" +
       "window.addEventListener('load', function (e) { console.log('window load ' + e.type); });\n" +
       "var b = document.createElement('button');\n" +
       "b.addEventListener('ping', function (e) { console.log('ping once ' + (this === b)); }, {once: true});\n" +
       "b.dispatchEvent(new Event('ping')); b.dispatchEvent(new Event('ping'));\n" +
       "console.log('readyState ' + document.readyState);\n" +
       "</script></body>\n",
       ["ping once true", "readyState loading", "readystatechange interactive",
        "document DOMContentLoaded", "window DOMContentLoaded", "readystatechange complete",
        "body onload load", "window load load"],
       [],
       0],
      ["the page's life: scripts, defer, async, load, unload, then NPP_Destroy",
       "<title>alive</title>\n" +
       "<script src=\"async.js\" async></script><script src=\"defer.js\" defer></script>\n" +
       "<script>console.log('inline before the embedding');</script>\n" +
       "<embed id=\"plugin\" type=\"application/x-kelvra-test\">\n" +
       "<script>\n" +
       "plugin.listener = function (e) { if (e == 'destroy') console.log('NPP_Destroy in ' + document.title); };\n" +
       "console.log('inline after it: ' + typeof plugin.echo);\n" +
       "document.addEventListener('DOMContentLoaded', function () { console.log('DOMContentLoaded'); });\n" +
       "for (const e of ['load', 'beforeunload', 'unload']) window.addEventListener(e, function () { console.log(e); });\n" +
       "setTimeout(function () { console.log('timer'); });\n" +
       "</script>\n" +
       "<script type=\"text/x-template\">console.log('a template, not run');</script>\n" +
       "<script type=\"module\">console.log('a module, which Firefox 52 does not know');</script>\n" +
       "<script language=\"javascript\">console.log('the last inline script');</script>\n",
       ["inline before the embedding", "inline after it: function", "the last inline script",
        "defer interactive", "DOMContentLoaded", "async", "load", "timer", "beforeunload", "unload",
        "NPP_Destroy in alive"],
       ["host: NPP_New(application/x-kelvra-test) -> 0", "host: running ", "defer.js",
        "async.js", "host: NPP_Destroy -> 0", "host: NP_Shutdown -> 0"],
       0],
      ["location: its parts, and unforgeable for the page and the plug-in",
       "<embed id=\"plugin\" type=\"application/x-kelvra-test\">\n" +
       "<script>\n" +
       "location.host = 'www.example.com'; window.location = 'https://www.example.com/';\n" +
       "location.href = 'https://www.example.com/x'; document.location = 'https://www.example.com/y';\n" +
       "try { Object.defineProperty(location, 'host', {value: 'www.example.com'}); }\n" +
       "catch (e) { console.log('redefine: ' + e.name); }\n" +
       "try { Object.defineProperty(window, 'location', {value: {host: 'www.example.com'}}); }\n" +
       "catch (e) { console.log('replace: ' + e.name); }\n" +
       "console.log(location.host, location.origin, String(location), document.location === location);\n" +
       "console.log(plugin.value(22), plugin.getOn(plugin.getOn(plugin.window(), 'location'), 'host'));\n" +
       "</script>\n",
       ["redefine: TypeError", "replace: TypeError",
        "www.kelvra.com https://www.kelvra.com https://www.kelvra.com/ true",
        "https://www.kelvra.com www.kelvra.com"],
       ["host: the page asked to navigate (location.host = \"www.example.com\")",
        "host: the page asked to navigate (location.href = \"https://www.example.com/\")"],
       0],
      ["navigator: Firefox 52's user agent, the plug-in in plugins and mimeTypes",
       "<script>\n" +
       "var p = navigator.plugins[0], m = navigator.mimeTypes.namedItem('application/x-kelvra-test');\n" +
       "console.log(navigator.userAgent);\n" +
       "console.log(navigator.plugins.length, p.name, p.filename, p.description, p.version,\n" +
       "            navigator.plugins.namedItem('Kelvra Test Plug-in') === p, m.enabledPlugin === p,\n" +
       "            m.suffixes, m.description, p[0] === m);\n" +
       "</script>\n",
       ["Mozilla/5.0 (Windows NT 6.1; rv:52.0) Gecko/20100101 Firefox/52.0",
        "1 Kelvra Test Plug-in NPKelvraTestPlugin.dll Generic scriptable test plug-in 1.0.0.0 true " +
        "true kts Kelvra test data true"],
       [],
       0],
      ["console: formats and objects shown readably",
       "<div id=\"status\">x</div><script>\n" +
       "console.log('%s is %d, %o', 'n', 42.9, {a: [1, 'x'], b: null});\n" +
       "console.debug('debug', [1, 2], {k: {l: true}}); console.info(1, null, undefined);\n" +
       "console.log(document.getElementById('status'), new Error('e'));\n" +
       "console.warn('to standard error');\n" +
       "</script>\n",
       ["n is 42, { a: [ 1, \"x\" ], b: null }", "debug [ 1, 2 ] { k: { l: true } }",
        "1 null undefined", "<div id=\"status\"> Error: e"],
       ["to standard error"],
       0],
      ["timers and requestAnimationFrame",
       "<script>\n" +
       "var done = [];\n" +
       "function mark(what) { done.push(what); if (done.length == 4) console.log(done.sort().join()); }\n" +
       "requestAnimationFrame(function (t) { mark('frame ' + typeof t); });\n" +
       "var n = 0, id = setInterval(function () { if (++n == 2) { clearInterval(id); mark('interval'); } }, 5);\n" +
       "setTimeout(function (a, b) { mark('timeout ' + a + b); }, 1, 'x', 'y');\n" +
       "setTimeout(\"mark('code')\", 2);\n" +
       "clearTimeout(setTimeout(function () { mark('cleared'); }, 1));\n" +
       "</script>\n",
       ["code,frame number,interval,timeout xy"],
       [],
       0],
      ["atob and btoa, URL and URLSearchParams, localStorage and sessionStorage",
       "<script>\n" +
       "console.log(btoa('kelvra'), atob('a2VsdnJh'), new URL('../x?a=1#h', 'https://www.kelvra.com/play/y').href,\n" +
       "            new URLSearchParams('a=1&b=2&a=3').getAll('a').join());\n" +
       "try { atob('%%'); } catch (e) { console.log(e.name); }\n" +
       "localStorage.setItem('k', 1); localStorage.n = 'v'; sessionStorage.setItem('s', 'x');\n" +
       "console.log(localStorage.getItem('k'), localStorage.n, localStorage.length, sessionStorage.length,\n" +
       "            localStorage.getItem('s'), Object.keys(localStorage).join(), String(localStorage));\n" +
       "</script>\n",
       ["a2VsdnJh kelvra https://www.kelvra.com/x?a=1#h 1,3", "InvalidCharacterError",
        "1 v 2 1 null k,n [object Storage]"],
       [],
       0],
      ["alert, confirm and prompt printed and answered",
       "<script>\n" +
       "alert('saved');\n" +
       "console.log(confirm('go on?'), prompt('name?', 'Ann'), JSON.stringify(prompt('empty?')));\n" +
       "</script>\n",
       ["alert: saved", "confirm: go on?  [answered OK]", "prompt: name?  [answered \"Ann\"]",
        "prompt: empty?  [answered \"\"]", "true Ann \"\""],
       [],
       0],
      ["XMLHttpRequest and fetch as an offline browser answers them",
       "<script>\n" +
       "var x = new XMLHttpRequest();\n" +
       "x.onreadystatechange = function () { if (x.readyState == 4) console.log('xhr done ' + x.status); };\n" +
       "x.onerror = function (e) { console.log('xhr ' + e.type); };\n" +
       "x.open('GET', '/api/status'); x.send();\n" +
       "fetch('/api/status').then(function () { console.log('fetched'); },\n" +
       "                          function (e) { console.log('fetch ' + e.name + ': ' + e.message); });\n" +
       "try { var s = new XMLHttpRequest(); s.open('GET', '/sync', false); s.send(); }\n" +
       "catch (e) { console.log('sync ' + e.name); }\n" +
       "console.log('onLine ' + navigator.onLine);\n" +
       "</script>\n",
       ["sync NetworkError", "onLine false", "xhr done 0", "xhr error",
        "fetch TypeError: NetworkError when attempting to fetch resource."],
       ["host: offline: XMLHttpRequest GET https://www.kelvra.com/api/status",
        "host: offline: XMLHttpRequest GET https://www.kelvra.com/sync"],
       0],
      ["a page saved as windows-1252 with a matching <meta charset>",
       Buffer.from("<meta charset=\"windows-1252\"><title>caf\xE9</title>\n" +
                   "<script>console.log(document.title, '\x80', document.title.charCodeAt(3));</script>\n",
                   'latin1'),
       ["café € 233"],
       [],
       0],
      ["a missing and a remote script src, named; the page goes on",
       "<script src=\"missing.js\"></script>\n" +
       "<script src=\"https://cdn.example.com/lib.js\"></script>\n" +
       "<script>console.log('the page goes on');</script>\n",
       ["the page goes on"],
       ["host: script missing.js not loaded: ", "missing.js: no such file",
        "host: script https://cdn.example.com/lib.js not loaded: https://cdn.example.com/lib.js is " +
        "not available offline"],
       1],
      ["a data: script src runs, percent-encoded or base64",
       "<script src=\"data:text/javascript,console.log('from%20a%20data%20URL')\"></script>\n" +
       "<script src=\"data:text/javascript;base64,Y29uc29sZS5sb2coJ2Jhc2U2NCcpOw==\"></script>\n",
       ["from a data URL", "base64"],
       ["host: running data:text/javascript,console.log('from%20a%20data%20URL')"],
       0],
      ["the embedding's src streamed to its instance first; its window of the element's size",
       "<embed id=\"plugin\" type=\"application/x-kelvra-test\" src=\"movie.txt\" width=\"320\"\n" +
       "       height=\"240\" get=\"data:,asked%20for%20in%20NPP_New\">\n" +
       "<script>\n" +
       "plugin.listener = function (e) { if (/^(newstream|urlnotify|destroy$)/.test(e)) console.log(e); };\n" +
       "console.log(plugin.windowSize());\n" +
       "</script>\n",
       ["320x240", "newstream text/plain end=5", "newstream text/plain end=20",
        "urlnotify data:,asked%20for%20in%20NPP_New 0 42", "destroy"],
       [],
       0],
      ["javascript: URLs evaluated in the page, their value streamed to the plug-in",
       "<embed id=\"plugin\" type=\"application/x-kelvra-test\">\n" +
       "<script>\n" +
       "var answer = 6 * 7;\n" +
       "plugin.listener = function (e) { console.log(e); };\n" +
       "plugin.get('javascript:\"js \" + answer', true);\n" +
       "</script>\n",
       ["newstream text/plain end=5", "write 0 js 42", "destroystream 0",
        "urlnotify javascript:\"js \" + answer 0 42", "destroy"],
       [],
       0],
      ["syntax Firefox 52 cannot parse: a warning with its page line, and the script runs",
       "<title>t</title>\n<script>\nvar a = {b: 1};\nconsole.log(a?.b ?? 0);\n</script>\n",
       ["1"],
       ["host: WARNING ", "modern.html:4: not ES2017 syntax (--syntax-level): Unexpected token",
        "host:   console.log(a?.b ?? 0);"],
       0],
      ["a promise rejected with no handler is an error of its task; a handled one is not",
       "<script>\n" +
       "Promise.reject(new Error('handled')).catch(() => console.log('caught'));\n" +
       "(async () => {\n" +
       "  await null;\n" +
       "  throw new TypeError('nobody waits');\n" +
       "})();\n" +
       "setTimeout(() => console.log('the page goes on'), 10);\n" +
       "</script>\n",
       ["caught", "the page goes on"],
       ["host: SCRIPT ERROR ", "modern.html:5:9: unhandled promise rejection: TypeError: nobody waits"],
       1],
      ["an error in a timer named by its page line; the page goes on with its next task",
       "<div id=\"status\"></div><script>\n" +
       "function missing() { return status.id + noSuchThing; }\n" +
       "setTimeout(function () { missing(); }, 1);\n" +
       "setTimeout(function () { console.log('the next timer runs'); }, 30);\n" +
       "</script>\n",
       ["the next timer runs"],
       ["host: SCRIPT ERROR ", "modern.html:2:41 (timer): ReferenceError: noSuchThing is not defined",
        "host:   function missing() {"],
       1],
      ["a page on https cannot have the plug-in load file: URLs",
       "<embed id=\"plugin\" type=\"application/x-kelvra-test\">\n" +
       "<script>\n" +
       "plugin.listener = function (e) { console.log(e); };\n" +
       "console.log('get ' + plugin.get('file:///C:/windows/win.ini', true));\n" +
       "</script>\n",
       ["get 1", "destroy"],
       ["host: refused file:///C:/windows/win.ini: a page on https: may not load local files"],
       0],
      ["an object of one instance, wrapped again for another",
       "<embed id=\"a\" type=\"application/x-kelvra-test\"><embed id=\"b\" type=\"application/x-kelvra-test\">\n" +
       "<script>\n" +
       "var x = a.scriptable();\n" +
       "console.log(a.mine(x), b.mine(x), b.echo(x) === x, a.firstObject() === x, b.firstObject() === x,\n" +
       "            b.mine(b.firstObject()), typeof b.firstObject().echo);\n" +
       "</script>\n",
       ["true false true true false true function"],
       [],
       0],
      ["a destroyed instance's objects that script holds: invalidated, then released",
       "<embed id=\"a\" type=\"application/x-kelvra-test\"><embed id=\"b\" type=\"application/x-kelvra-test\">\n" +
       "<script>\n" +
       "var x = a.scriptable();\n" +
       "a.remove();\n" +
       "console.log(b.orphanLife());\n" +
       "for (const f of [() => x.echo(1), () => x.version, () => 'echo' in x, () => x(), () => { x.y = 1; }])\n" +
       "  try { console.log('answered', f()); } catch (e) { console.log(e.message); }\n" +
       "</script>\n",
       ["invalidate deallocate ", ...Array(5).fill("Bad NPObject as private data!")],
       [],
       0],
      ["an embedding that a script writes while the page is parsed, called in that script",
       "<p>before</p>\n<script>\n" +
       "document.write('<embed id=\"plugin\" type=\"application/x-kelvra-test\">');\n" +
       "console.log(plugin.echo('at once'), document.currentScript.nextSibling === plugin);\n" +
       "</script>\n",
       ["at once true"],
       [],
       0],
      ["a plug-in's pending timer fires before the page closes",
       "<embed id=\"plugin\" type=\"application/x-kelvra-test\">\n" +
       "<script>\n" +
       "var id = plugin.timer(30, true);\n" +
       "plugin.listener = function (e) {\n" +
       "  if (e.indexOf('timer ') == 0) { plugin.stopTimer(id); console.log('the plug-in timer fired'); }\n" +
       "  if (e == 'destroy') console.log(e);\n" +
       "};\n" +
       "</script>\n",
       ["the plug-in timer fired", "destroy"],
       [],
       0],
], ([behaviour]) => behaviour, async ([behaviour, page, out, err, code]) => {
  // Each page in a folder of its own, with the files pages refer to.
  const folder = behaviour.replace(/[^a-z]+/gi, '-').slice(0, 40);
  for (const script of ['defer.js', 'async.js']) file(`${folder}/${script}`, fs.readFileSync(path.join(pages, script)));
  file(`${folder}/movie.txt`, 'first');
  const r = await run([...testPlugin, file(`${folder}/modern.html`, page)]);
  assert.equal(r.code, code, shown(r));
  assert.deepEqual(lines(r.out), out, shown(r));
  assert.ok(inOrder(r.err, err), `standard error lacks, in this order, ${JSON.stringify(err)}\n${shown(r)}`);
  assert.ok(r.err.includes('host: browser accounting balanced'), shown(r));
});
