// The page host end to end, as a user runs it: the real NPKelvraProxy.dll and the demo
// launcher (served to each run with --launcher, so that nothing registers its class),
// or the test bed's generic plug-in, under pages of the test's own and those of tests/pages.
//   node host_test.js SOURCE-DIR BUILD-DIR
'use strict';
const fs = require('fs');
const path = require('path');
const childProcess = require('child_process');
const {test} = require('node:test');
const assert = require('node:assert/strict');
const {root, build, bin, prefix, wine, work, file, plugin, launcher, testPlugin, run, lines, inOrder, shown,
       table} = require('./runner.js');

const examples = path.join(root, 'examples');
const testId = '@kelvra.com/HostBlackboxTest';
const balanced = 'host: browser accounting balanced';
const proxy = (...options) => [...launcher, ...plugin, ...options];

function has(result, stream, ...parts) {
  for (const part of parts) assert.ok(result[stream].includes(part), `${stream} lacks ${JSON.stringify(part)}\n${shown(result)}`);
}
function ordered(result, stream, parts) {
  assert.ok(inOrder(result[stream], parts), `${stream} lacks, in this order, ${JSON.stringify(parts)}\n${shown(result)}`);
}
function exits(result, code) {
  assert.equal(result.code, code, shown(result));
}

test('the example page calls every method of the plug-in', async () => {
  const page = fs.readFileSync(path.join(examples, 'launcher-page.js'), 'utf8');
  for (const method of ['HelloWorld', 'Hello', 'StartGame', 'Get_InstallHost', 'Update',
                        'Put_AuthenticationTicket', 'Get_GameStarted', 'SetSilentModeEnabled',
                        'SetStartInHiddenMode', 'UnhideApp', 'DeleteKeyValue', 'Get_IsUpToDate',
                        'PreStartGame', 'GetKeyValue', 'SetKeyValue', 'BringAppToFront',
                        'ResetLaunchState', 'SetEditMode']) {
    assert.ok(page.includes(`plugin.${method}(`), method);
  }
  const r = await run(proxy('--url', 'https://www.kelvra.com/play', '--private-temp', '--show-log',
                            path.join(examples, 'launcher-page.js')));
  exits(r, 0);
  has(r, 'out', 'page host: www.kelvra.com',
      '  Hello() -> "Hello from the Kelvra demo launcher"  [string]',
      '  Get_InstallHost() -> "install.kelvra.com"  [string]',
      '  Update() -> 0  [number]',
      '  Put_AuthenticationTicket("") -> -2147024809 (0x80070057)  [number]',
      '  Get_GameStarted() -> true  [boolean]',
      '  BringAppToFront()   (hidden: S_FALSE) -> 1  [number]',
      '  GetKeyValue("demo.note") -> "see you soon"  [string]',
      '  DeleteKeyValue("demo.note")   (missing) -> -2147024894 (0x80070002)  [number]',
      '  SetSilentModeEnabled(1)   (a number is no boolean) -> -1  [number]',
      '  StartGame("ticket-42", 7)   (the script must be a string) -> -1  [number]',
      '  plugin() -> 42  [number]',
      '  plugin.hello() threw: exception during invocation',
      // The plug-in's log of this run follows the script's output.
      '---- plug-in log ',
      ' invokeKelvraAdapterHello 0x',
      ' KelvraAdapterGet_SetSilentModeEnabled Bad arguments type : MUST be BOOL',
      ' KelvraAdapterStartGame Bad arguments type : MUST BE String',
      ' invokeDefault');
  has(r, 'err', 'host: NPP_GetValue(scriptable object) -> 0', balanced);
});

test('a refused page has no scriptable object', async () => {
  const r = await run(proxy('--url', 'https://www.example.com/games', '--private-temp', '--show-log',
                            path.join(examples, 'launcher-page.js')));
  exits(r, 0);
  has(r, 'out', 'page host: www.example.com\n', 'the plug-in refused this page',
      ' newv isKelvraHost = FALSE');
  assert.ok(!r.out.includes('Hello()'), r.out);
  has(r, 'err', 'host: NPP_GetValue(scriptable object) -> 2', 'host: NPP_Destroy -> 2', balanced);
});

test('a script error is reported with its line and fails the run', async () => {
  let r = await run(proxy(file('error.js', "console.log('before');\nvar x = 1;\nnoSuchThing();\n" +
                                           "console.log('after');\n")));
  exits(r, 1);
  assert.equal(r.out, 'before\n');
  has(r, 'err', 'SCRIPT ERROR ', 'error.js:3:1: ReferenceError: noSuchThing is not defined');
  // An exception of the plug-in that script does not catch; the page still closes.
  r = await run(proxy(file('uncaught.js', 'plugin.HelloWorld();\nplugin.NoSuchMethod();\n')));
  exits(r, 1);
  has(r, 'err', 'uncaught.js:2:8: uncaught exception: exception during invocation',
      'host: NPP_Destroy -> 0');
  r = await run(proxy(file('syntax.js', 'var ok = 1;\nvar broken = ;\n')));
  exits(r, 1);
  has(r, 'err', 'syntax.js:2:');
});

test('a DLL whose version resource does not list the type is refused', async () => {
  const page = file('ran.js', "console.log('ran');\n");
  let r = await run(['--plugin', path.join(bin, 'KelvraDemoLauncher.dll'), page]);
  exits(r, 3);
  assert.equal(r.out, '', 'no script runs');
  has(r, 'err', 'REFUSED', 'no MIMEType');
  r = await run(proxy('--type', 'application/x-other', page));
  exits(r, 3);
  assert.equal(r.out, '');
  has(r, 'err', 'not "application/x-other"');
});

// The registrations of these two tests are the tests' own: they run one after the other.
test('registrations', {concurrency: 1}, async (t) => {
  const unregister = () => run(['--unregister', '--plugin-id', testId]);
  t.afterEach(unregister);
  await t.test('a DLL that lists no type is not registered', async () => {
    const r = await run(['--register', path.join(bin, 'KelvraDemoLauncher.dll'), '--plugin-id', testId]);
    exits(r, 3);
    exits(await run(['--plugin-id', testId, file('ran.js', "console.log('ran');\n")]), 3);
  });
  await t.test('the plug-in is found through its per-user registration', async () => {
    const page = file('found.js', 'console.log(plugin.HelloWorld());\n');
    let r = await run(['--plugin-id', testId, page]);
    exits(r, 3);
    has(r, 'err', `no plug-in registered under HKCU\\Software\\MozillaPlugins\\${testId}`);
    exits(await run(['--register', path.join(bin, 'NPKelvraProxy.dll'), '--plugin-id', testId]), 0);
    r = await run([...launcher, '--plugin-id', testId, page]);
    exits(r, 0);
    assert.equal(r.out, '0\n');
    has(r, 'err', `registered plug-in ${testId}: Kelvra Launcher Plugin, Kelvra Launcher Plugin ` +
                  '1.2.7.22 by Kelvra');
    exits(await unregister(), 0);
    exits(await run(['--plugin-id', testId, page]), 3);
  });
});

test('a launcher DLL must serve the launcher class', async () => {
  const page = file('served.js', "console.log('ran');\n");
  let r = await run(['--launcher', path.join(bin, 'NPKelvraProxy.dll'), ...plugin, page]);
  exits(r, 3);
  assert.equal(r.out, '');
  has(r, 'err', 'serves no launcher class');
  r = await run(proxy(page));
  exits(r, 0);
  has(r, 'err', 'host: launcher class served from ');
  assert.ok(!r.err.includes('IMBALANCE'), `every launcher object released: ${r.err}`);
});

test('script files are read as UTF-8', async () => {
  let r = await run(proxy(file('utf8.js', "\uFEFFconsole.log('grüß €');\n" +
                                          "console.log(plugin.SetKeyValue('host_test.text', 'café'),\n" +
                                          "            plugin.GetKeyValue('host_test.text'),\n" +
                                          "            plugin.DeleteKeyValue('host_test.text'));\n")));
  exits(r, 0);
  // The plug-in hands the UTF-8 bytes on as ANSI text and back: they come back whole.
  assert.equal(r.out, 'grüß €\n0 café 0\n');
  r = await run(proxy(file('latin1.js', Buffer.from("console.log('ok');\nconsole.log('caf\xE9');\n", 'latin1'))));
  exits(r, 2);
  has(r, 'err', 'latin1.js is not valid UTF-8: line 2, byte 0xE9 at offset 35');
});

// Every refusal of the command line: its exit code and one line on standard error that
// names the option or file and the reason; nothing runs. PAGE stands for a page that
// prints location.host.
{
  const page = file('where.js', 'console.log(window.location.host);\n');
  const latin1 = file('latin1-page.js', Buffer.from("var a = 1;\n\n'caf\xE9';\n", 'latin1'));
  const names = {PAGE: page, DIR: work, LATIN1: latin1};
  const rows = [
    ['--bogus PAGE', 2, 'kelvra_host: unknown option --bogus (--help lists the options)\n'],
    ['PAGE --url', 2, 'kelvra_host: --url needs a value: --url URL\n'],
    ['--show-log=yes PAGE', 2, 'kelvra_host: --show-log takes no value\n'],
    ['--url www.kelvra.com PAGE', 2, 'kelvra_host: --url "www.kelvra.com" is not a URL'],
    ['--url https:///play PAGE', 2, 'kelvra_host: --url "https:///play" has no host'],
    ['--url https://www.kelvra.com:0/ PAGE', 2, ': the port "0" is not a number from 1 to 65535\n'],
    ['--url https://www.kelvra.com:65536/ PAGE', 2, 'the port "65536" is not a number'],
    ['--url https://www.kelvra.com:80a/ PAGE', 2, 'the port "80a" is not a number'],
    ['--url|https://www.kel vra.com/|PAGE', 2, "holds a ' ', which no host name has"],
    ['--param width PAGE', 2, 'kelvra_host: --param wants NAME=VALUE, not "width"\n'],
    ['--script-timeout soon PAGE', 2, 'kelvra_host: --script-timeout wants whole seconds'],
    ['--timeout 86401 PAGE', 2, 'kelvra_host: --timeout wants whole seconds from 0 (no limit)'],
    ['--syntax-level es2021 PAGE', 2, 'kelvra_host: --syntax-level wants es5, es2015 to es2020 or off'],
    ['--launcher-answer Upgrade=E_FAIL PAGE', 2, '"Upgrade": no such script method\n'],
    ['--launcher-answer Update=maybe PAGE', 2, 'Update=maybe: not an HRESULT'],
    ['--launcher-answer Update=text:x PAGE', 2, 'only Hello, Get_InstallHost and GetKeyValue answer a text\n'],
    ['--launcher-answer Hello=true PAGE', 2, 'only Get_GameStarted and Get_IsUpToDate answer a flag'],
    ['--launcher-answer Update=delay:-5 PAGE', 2, 'the delay is milliseconds from 0 to 600000'],
    ['--launcher-answer Update PAGE', 2, 'is not METHOD=VALUE or not-installed\n'],
    ['PAGE PAGE', 2, 'kelvra_host: one page at a time: '],
    ['', 2, 'kelvra_host: no page script named'],
    ['DIR', 2, ' is a directory, not a page script\n'],
    ['DIR/missing.js', 2, 'missing.js: no such file\n'],
    ['LATIN1', 2, 'latin1-page.js is not valid UTF-8: line 3, byte 0xE9 at offset 16'],
    // Accepted: options before or after the page, --name=value as --name value.
    ['--url https://shop.kelvra.com/ PAGE', 0, 'shop.kelvra.com\n'],
    ['PAGE --url=https://shop.kelvra.com:8443/x', 0, 'shop.kelvra.com:8443\n'],
    ['PAGE --url http://[::1]:8080/', 0, '[::1]:8080\n'],
    ['--timeout=0 PAGE --script-timeout 5', 0, 'www.kelvra.com\n'],
  ];
  // Arguments apart by blanks, or by '|' where one holds a blank.
  const argv = (text) => (text === '' ? [] : text.split(text.includes('|') ? '|' : ' '))
    .map((a) => a.replace(/^(PAGE|DIR|LATIN1)/, (n) => names[n]));
  table('the command line is checked before anything runs', rows, ([args]) => args,
        async ([args, code, line]) => {
          const r = await run(proxy('--private-temp', ...argv(args)));
          exits(r, code);
          if (code === 0) return assert.equal(r.out, line);
          assert.equal(r.out, '');
          assert.equal(lines(r.err).length, 1, r.err);
          has(r, 'err', line);
        });
  test('a page that another program holds open without sharing cannot be read', async () => {
    const holder = childProcess.spawn('wine', [path.join(bin, 'kelvra_hold_file.exe'), page],
                                      {env: Object.assign({}, process.env, wine), stdio: ['pipe', 'pipe', 'ignore']});
    const held = await new Promise((resolve) => {
      holder.stdout.on('data', (data) => { if (String(data).includes('held')) resolve(true); });
      holder.on('exit', () => resolve(false));
    });
    assert.ok(held, 'the holder did not open the page');
    const r = await run(proxy(page));
    holder.stdin.end();
    await new Promise((resolve) => holder.on('exit', resolve));
    exits(r, 2);
    has(r, 'err', 'where.js cannot be read: ');
  });
  test('--help lists the options wherever it stands', async () => {
    for (const help of [['--help'], ['-h'], [page, '--help']]) {
      const r = await run(help);
      exits(r, 0);
      has(r, 'out', 'usage: kelvra_host [options] PAGE-SCRIPT.js', '--launcher-answer ANSWER');
      assert.equal(r.err, '');
    }
  });
}

// The answers set for a run reach page script through the real plug-in.
table('the demo launcher answers as told for the run', [
  [['Update=0x80004005'], 'console.log(plugin.Update(), plugin.Get_IsUpToDate());', '-2147467259 false\n'],
  [['update=E_ACCESSDENIED'], 'console.log(plugin.Update());', '-2147024891\n'],
  [['StartGame=-2147467259'], "console.log(plugin.StartGame('t', 's'));", '-2147467259\n'],
  [['SetKeyValue=S_FALSE'], "console.log(plugin.SetKeyValue('k', 'v'));", '1\n'],
  [['Hello=text:Bonjour'], 'console.log(plugin.Hello());', 'Bonjour\n'],
  [['Hello=E_FAIL'], 'console.log(plugin.Hello());', 'IKelvraLauncher->Hello() Error occured !\n'],
  [['Get_InstallHost=text:', 'Get_InstallHost=S_FALSE'], "console.log('[' + plugin.Get_InstallHost() + ']');", '[]\n'],
  [['GetKeyValue=text:same for every key'], "console.log(plugin.GetKeyValue('any'));", 'same for every key\n'],
  [['GetKeyValue=E_FAIL'], "console.log(plugin.GetKeyValue('any'));", '-1\n'],
  // "Is up to date" staying false, and a game that is always started.
  [['Get_IsUpToDate=false'], 'console.log(plugin.Update(), plugin.Get_IsUpToDate());', '0 false\n'],
  [['Get_GameStarted=true'], 'console.log(plugin.Get_GameStarted());', 'true\n'],
  [['Get_GameStarted=true', 'Get_GameStarted=E_FAIL'], 'console.log(plugin.Get_GameStarted());', 'true\n'],
  // A slow Update.
  [['Update=delay:400'], 'var t = new Date(); var r = plugin.Update();\nconsole.log(r, new Date() - t >= 400);', '0 true\n'],
  // Launcher text longer than the plug-in's buffer is cut at 2047 bytes.
  [[`Hello=text:${'x'.repeat(3000)}`], 'console.log(plugin.Hello().length);', '2047\n'],
], ([answers]) => answers.join(' ').slice(0, 60), async ([answers, page, out]) => {
  const options = answers.flatMap((a) => ['--launcher-answer', a]);
  const r = await run(proxy('--private-temp', ...options,
                            file(`answers-${answers.join('').length}-${page.length}.js`, page)));
  exits(r, 0);
  assert.equal(r.out, out, shown(r));
});

test('a launcher that is not installed has the plug-in refuse the embedding', async () => {
  const r = await run(proxy('--private-temp', '--launcher-answer', 'not-installed',
                            file('never.js', "console.log('ran');")));
  exits(r, 3);
  assert.equal(r.out, '');
  has(r, 'err', 'log: ', ' newv GetIKelvraLauncherInstance() = NULL\n',
      'host: NOT RUN: the plug-in refused the embedding (NPP_New -> 2;');
});

// A Windows path of the prefix's drive C: as a path here.
const unixPath = (windows) => path.join(prefix, 'drive_c', windows.slice(3).replace(/\\/g, '/'));

// The plug-in's log lines come under the page's line that printed the calls that wrote
// them; --follow shows them the moment they are written; the run's folder goes unless
// --keep-log.
test("the log is shown where the calls happened", async () => {
  const page = file('interleaved.js', "console.log('A', plugin.HelloWorld());\n" +
                                      "console.log('B', plugin.Get_IsUpToDate());\n");
  let r = await run(proxy('--private-temp', page), {merged: true});
  exits(r, 0);
  ordered(r, 'out', ['host: running ', '\nA 0\n', ' invokeKelvraAdapterHelloWorld 0x',
                     ' KelvraAdapterHelloWorld result = 0\n', 'B false\n',
                     ' invokeKelvraAdapterGet_IsUpToDate result=0\n', 'host: NPP_Destroy',
                     ' destroy\n']);
  // The log's path in both forms, and the folder removed afterwards.
  has(r, 'out', '  log: ', '\n      = /', "host: removed the run's temporary directory");
  const logPath = (result) => (/host: plug-in log (C:\\[^\n]*)\n/.exec(result.out) || [])[1];
  assert.ok(logPath(r), r.out);
  assert.ok(!fs.existsSync(unixPath(logPath(r))), logPath(r));

  r = await run(proxy('--private-temp', '--keep-log', page), {merged: true});
  has(r, 'out', "host: kept the run's temporary directory ");
  const kept = unixPath(logPath(r));
  assert.ok(fs.readFileSync(kept, 'utf8').includes(' invokeKelvraAdapterHelloWorld 0x'), kept);
  fs.rmSync(path.dirname(kept), {recursive: true});

  // While Update is slow, the lines of the calls before it are already there with
  // --follow; without it they wait for the page's next line.
  const slow = file('slow.js', "plugin.HelloWorld();\nplugin.Update();\nconsole.log('after');\n");
  const options = ['--private-temp', '--launcher-answer', 'Update=delay:1500'];
  r = await run(proxy(...options, '--follow', slow), {merged: true});
  assert.ok(r.out.indexOf(' invokeKelvraAdapterUpdate 0x') < r.out.indexOf('\nafter\n'), r.out);
  r = await run(proxy(...options, slow), {merged: true});
  assert.ok(r.out.indexOf(' invokeKelvraAdapterHelloWorld 0x') > r.out.indexOf('\nafter\n'), r.out);
});

test('a page that never ends is stopped by the script time-out', async () => {
  const r = await run(proxy('--private-temp', '--script-timeout', '1',
                            file('forever.js', "console.log('start');\nfor (;;) {}\n")));
  exits(r, 7);
  assert.equal(r.out, 'start\n');
  has(r, 'err', 'host: SCRIPT TIME-OUT ', 'forever.js: no end after 1 s', 'host: NPP_Destroy -> 0');
});

// Even when the stop reaches the dispatching script late, as on a busy machine.
test('a stop inside a listener stops the script that dispatched its event', async () => {
  const r = await run([...testPlugin, '--script-timeout', '1', file('dispatched.html',
    "<script>\ndocument.addEventListener('x', function () { for (;;) {} });\n" +
    "document.dispatchEvent(new Event('x'));\nconsole.log('after dispatch');\nfor (;;) {}\n</script>\n")],
    {environment: {NODE_OPTIONS: `--require "${path.join(__dirname, 'late_signal.js')}"`}});
  exits(r, 7);
  assert.equal(r.out, '');
  has(r, 'err', 'dispatched.html: no end after 1 s');
});

// Each expression is printed with String(); the line must read as Firefox shows it.
test('page script sees a plug-in object as Firefox shows it', async () => {
  const table = lines(fs.readFileSync(path.join(root, 'tests', 'pages', 'object_rules.txt'), 'utf8'));
  const expressions = table.filter((l) => l.startsWith('> ')).map((l) => l.slice(2));
  const expected = table.filter((l) => l.startsWith('= ')).map((l) => l.slice(2));
  assert.ok(expressions.length > 0 && expressions.length === expected.length);
  const r = await run([...testPlugin, '--url', 'https://www.kelvra.com:8443/play/x?q=1#h',
                       file('semantics.js', expressions.map((e) => `console.log(String(${e}));\n`).join(''))]);
  exits(r, 0);
  const got = lines(r.out);
  expected.forEach((line, i) => assert.equal(got[i], line, expressions[i]));
  assert.equal(got.length, expected.length, r.out);
  // services() set the status line and asked for three redraws; it released a void variant.
  has(r, 'err', 'status line (1 times): "status from the test plug-in"; 3 redraws asked for');
  // Its streams: one it ended, one the host ends (and frees) after NPP_Destroy.
  ordered(r, 'err', ["host: the plug-in's stream (text/plain) to _blank: 11 bytes, NPRES_DONE\n",
                     "host: NPP_Destroy -> 0\nhost: the plug-in's stream (text/html) to _self: 4 bytes, left open, ended " +
                     'by the host with its instance\n']);
  has(r, 'err', balanced);
});

test("timers, async calls and streams arrive through the plug-in's loop", async () => {
  const fileUrl = `file://${file('stream.txt', 'file body')}`;
  const temp = path.join(prefix, 'drive_c', 'users', process.env.USER || 'root', 'AppData', 'Local', 'Temp');
  const cached = () => (fs.existsSync(temp) ? fs.readdirSync(temp).filter((n) => n.startsWith('kelvra-stream-')).length : 0);
  const cachedBefore = cached();
  const r = await run([...testPlugin, file('events.js',
    'plugin.listener = function (e) { console.log(e); };\n' +
    "console.log('get ' + plugin.get('data:text/plain;base64,aGVsbG8gd29ybGQ=', true));\n" +
    `console.log('get ' + plugin.get('${fileUrl}', true));\n` +
    "console.log('get ' + plugin.get('https://www.kelvra.com/offline', true));\n" +
    "console.log('get ' + plugin.get('no scheme at all', true));\n" +
    "console.log('get ' + plugin.get('data:,asfile%20body', true));\n" +
    "console.log('get ' + plugin.get('data:,cancel%20me%20now', true));\n" +
    "console.log('timer ' + plugin.timer(5, false));\n" +
    'plugin.async();\n' +
    "setTimeout(function (a) { console.log('timeout ' + a); }, 20, 'arg');\n" +
    'var n = 0, ticks = setInterval(function () {\n' +
    "  if (++n == 3) { clearInterval(ticks); console.log('interval x3'); }\n" +
    '}, 1);\n' +
    "clearTimeout(setTimeout(function () { console.log('cleared'); }, 1));\n" +
    "Promise.resolve('job').then(function (v) { console.log('promise ' + v); });\n" +
    "console.log('script end');\n")]);
  exits(r, 0);
  // Nothing of the loop's runs before the script ends; each stream in a browser's order.
  // A page on https cannot have its plug-in read a local file: that call fails at once.
  ordered(r, 'out', ['get 0\nget 1\nget 0\nget 0\nget 0\nget 0\ntimer ', 'script end\n']);
  // A Promise job runs at the end of its task; NPP_Destroy comes with the page still there.
  ordered(r, 'out', ['script end\npromise job\n', 'newstream text/plain end=11\n']);
  assert.equal(lines(r.out).pop(), 'destroy', r.out);
  ordered(r, 'out', ['script end\n', 'newstream text/plain end=11\n', 'write 0 hello\n',
                     'write 5  worl\n', 'write 10 d\n', 'destroystream 0\n',
                     'urlnotify data:text/plain;base64,aGVsbG8gd29ybGQ= 0 42\n']);
  assert.ok(!r.out.includes(`urlnotify ${fileUrl}`), r.out);
  // A stream taken as a file only, and one the plug-in ends at its first write.
  ordered(r, 'out', ['newstream text/plain end=11\n', 'asfile asfile body\n', 'destroystream 0\n',
                     'urlnotify data:,asfile%20body 0 42\n']);
  ordered(r, 'out', ['write 0 cance\n', 'write back -1\n', 'destroystream 2\n',
                     'urlnotify data:,cancel%20me%20now 2 42\n']);
  assert.ok(!r.out.includes('write 5 l me '), r.out);
  // Offline: no stream, only the notification of a network error; a relative URL is
  // one of the page's site.
  has(r, 'out', 'urlnotify https://www.kelvra.com/offline 1 42\n', 'urlnotify no scheme at all 1 42\n',
      'timer 1\n', "async call on the page's thread\n", 'timeout arg\n', 'interval x3\n');
  assert.ok(!r.out.includes('cleared'), r.out);
  has(r, 'err', '3 streams delivered, 2 URLs refused (offline)', balanced);
  // The data: stream's cache file lives only as long as its stream.
  assert.equal(cached(), cachedBefore);
});

test("an HTML page's embeddings, params and scripts run in order", async () => {
  file('page-part.js', "console.log('src script sees ' + typeof first.args);\n");
  const r = await run([...testPlugin, file('page.html',
    '<html><head><title>A &amp; B</title>\n' +
    "<script>console.log('head script: ' +\n" +
    "  document.getElementsByTagName('embed').length + ' embeds');</script></head><body>\n" +
    '<embed id="first" type="application/x-kelvra-test" width=1 height=\'2\' flag>\n' +
    '<!-- <embed id="commented" type="application/x-kelvra-test"> -->\n' +
    '<object id="second" type="application/x-kelvra-test">\n' +
    '  <param name="mode" value="quiet"><param name="n" value="&#51;&#x1F600;">\n' +
    '</object>\n' +
    '<embed id="refused" type="application/x-kelvra-test" fail="yes">\n' +
    '<embed id="other" type="application/x-other">\n' +
    '<script>\n' +
    "var first = document.getElementById('first');\n" +
    "console.log(document.title + ': ' + first.args());\n" +
    'console.log(second.args());\n' +
    "var refused = document.getElementById('refused');\n" +
    "console.log(refused.tagName, typeof refused.echo, refused.getAttribute('fail'));\n" +
    "console.log(typeof document.getElementById('other').echo,\n" +
    "            document.getElementById('commented'));\n" +
    '</script>\n' +
    '<script type="text/template">console.log(\'not run\');</script>' +
    '<script src="page-part.js"></script>\n' +
    "<script>throw 'the last script fails';</script>\n" +
    '</body></html>\n')]);
  exits(r, 1);
  assert.deepEqual(lines(r.out), [
    // As in a browser, an element exists from where the parser reaches it on.
    'head script: 0 embeds',
    'A & B: id=first;type=application/x-kelvra-test;width=1;height=2;flag=',
    'id=second;type=application/x-kelvra-test;PARAM=(null);mode=quiet;n=3\u{1F600}',
    'EMBED undefined yes',
    'undefined null',
    'src script sees function',
  ], shown(r));
  ordered(r, 'err', ['host: running ', 'host: NPP_New(application/x-kelvra-test) -> 0', 'host: running ']);
  has(r, 'err', 'host: NPP_New(application/x-kelvra-test) -> 1',
      'page.html (the script from line 21): uncaught exception: the last script fails', balanced);
});

table('hangs and crashes end the run, a slow call does not', [
  // Past the script's time too: a hanging call is the plug-in's fault, not the page's.
  ['hang()', 5, 'host: HUNG: the plug-in did not return within 3 s, in NPClass.invoke(hang)'],
  // An access violation; under an emulator of 32-bit code it may read as 0xC000001D.
  ['crash()', 6, 'host: CRASHED: exception 0xC00000'],
  // A fault the plug-in's own handler deals with is none of the host's business.
  ['recover()', 0, balanced],
  // A slow call that returns is no time the script used: the page goes on.
  ['slow()', 0, balanced],
  // Script the plug-in calls back is the page's time: one that never ends is stopped.
  ['call(function () { for (;;) {} })', 7, 'forever.js: no end after 1 s'],
], ([call]) => call, async ([call, code, report]) => {
  const page = `${call.replace(/\W.*/, '')}-${code}`;
  const r = await run([...testPlugin, '--timeout', '3', '--script-timeout', '1',
                       file(code === 7 ? 'forever.js' : `fault-${page}.js`,
                            `console.log('before');\nplugin.${call};\nconsole.log('after');\n`)]);
  exits(r, code);
  assert.equal(r.out, code === 0 ? 'before\nafter\n' : 'before\n');
  has(r, 'err', report);
});

test('without the watchdog a crash is still reported', async () => {
  const r = await run([...testPlugin, '--timeout', '0', file('crash.js', 'plugin.crash();\n')]);
  exits(r, 6);
  has(r, 'err', 'NPKelvraTestPlugin.dll, in NPClass.invoke(crash)');
});

// The pages of tests/pages and the example page: standard output as their .expected
// files hold it, whole, or (`console`) the page's own lines and --trace's among the
// host's; the account balanced.
{
  const pages = path.join(root, 'tests', 'pages');
  const jquery = (module) => {
    file(`${module}/jquery.js`, fs.readFileSync(path.join(build, '_deps', 'page-host', 'node_modules', module,
                                                          'dist', 'jquery.js')));
    return file(`${module}/jquery.html`, fs.readFileSync(path.join(pages, 'jquery.html')));
  };
  const store = (...options) => proxy('--private-temp', '--reset-store', ...options);
  const host = /^(host: |  log: |      = |  at )/;
  table('pages print what their .expected files hold', [
    ['launcher-page', store('--url', 'https://www.kelvra.com/play', path.join(examples, 'launcher-page.html'))],
    ['launcher-page-refused', store('--url', 'https://www.example.com/games',
                                    path.join(examples, 'launcher-page.html'))],
    ['semantics', store(path.join(pages, 'semantics.js'))],
    ['dom_rules', [...testPlugin, '--trace', path.join(pages, 'dom_rules.html')], 'console'],
    // Real libraries of the era, pinned in the page host's lock file: jQuery 3.2.1 and 1.12.4.
    ['jquery', [...testPlugin, jquery('jquery')], 'console'],
    ['jquery', [...testPlugin, jquery('jquery-1')], 'console'],
  ], ([name, args]) => `${name}.expected: ${path.basename(path.dirname(args.at(-1)))}/${path.basename(args.at(-1))}`,
  async ([name, args, mode]) => {
    const r = await run(args, {merged: mode === 'console'});
    exits(r, 0);
    const got = mode === 'console' ? lines(r.out).filter((l) => !host.test(l)) : lines(r.out);
    assert.deepEqual(got, lines(fs.readFileSync(path.join(pages, `${name}.expected`), 'utf8')), shown(r));
    assert.ok((r.out + r.err).includes(balanced), shown(r));
  }, {concurrency: 1});  // the demo launcher's store, which two of them empty first

  // Runs of one behaviour each: the exit code, and each sequence of parts in the output
  // (standard output and error as one), in its order.
  const own = (...options) => proxy('--private-temp', ...options);
  const page = (name, content) => file(`runs/${name}`, content);
  const tracePage = page('trace.js', 'plugin.StartGame("tkt-1", "level=1");\ntry { plugin.hello(); } catch (e) {}\n' +
                         'document.body.appendChild(document.createElement("p")).textContent = "made by script";\n');
  const latin1 = page('latin1.html', '<meta charset="windows-1252">\n<script src="latin1.js"></script>\n');
  const latin1Script = page('latin1.js', Buffer.from("console.log('caf\xe9');\nconsole.log(undefined ?? 'nullish');\n",
                                                     'latin1'));
  const forever = page('timer-forever.js', 'setTimeout(function () { for (;;) {} }, 5);\n');
  const lost = path.join(pages, 'plugin_lost.html');
  table('the page host runs, one behaviour each', [
    ['--trace: each operation on the plug-in\'s object', own('--trace', tracePage), 0,
     [['trace: invoke("StartGame", "tkt-1", "level=1") -> 0', 'trace: invoke("hello") -> threw "exception during invocation"']]],
    ['--dump-dom: the document after the page', own('--dump-dom', tracePage), 0,
     [['<p>made by script</p></body></html>']]],
    // Nothing of the plug-in's loop before the script ends; each stream in a browser's
    // order; NPP_Destroy last, with the page there.
    ["the plug-in's loop after the page's script", [...testPlugin, path.join(pages, 'plugin_loop.js')], 0,
     [['script end\n', 'timer 1\n'],
      ['script end\n', "async call on the page's thread\n"],
      ['script end\n', 'urlnotify https://www.kelvra.com/offline 1 42\n'],
      ['script end\n', 'write 0 cance\n', 'write back -1\n', 'destroystream 2\n',
       'urlnotify data:,cancel%20me%20now 2 42\n'],
      ['script end\n', 'write 0 js 42\n', 'urlnotify javascript:"js " + (6 * 7) 0 42\n'],
      ['script end\n', 'write 0 hello\n', 'write 10 d\n', 'urlnotify data:text/plain;base64,aGVsbG8gd29ybGQ= 0 42\n',
       'destroy\n'],
      ['script end\n', 'timeout arg\n', 'destroy\n']]],
    ["the page's life: scripts in order, DOMContentLoaded, load, offline requests", own(path.join(pages, 'life.html')), 0,
     [['inline loading\n', 'sync NetworkError\n', 'defer interactive\n', 'DOMContentLoaded\n', 'async\n',
       'load\n', 'the page goes on\n'],
      ['fetch TypeError: NetworkError when attempting to fetch resource.\n']]],
    ['an inserted embedding gets an instance, a removed one is destroyed',
     [...testPlugin, path.join(pages, 'embed_life.html')], 0, [['inserted: function, destroyed, removed: undefined']]],
    // A src script in the page's charset; syntax beyond Firefox 52's warned of with its line.
    ["a src script in its page's charset", own(latin1), 0,
     [['café\n'], [`host: WARNING ${latin1Script}:2: not ES2017 syntax (--syntax-level)`]]],
    ["a timer's call past the script time-out stops the page", own('--script-timeout', '1', forever), 7,
     [[`host: SCRIPT TIME-OUT ${forever}: no end after 1 s`]]],
    ['a stack the page exhausts is its RangeError, not the end of the host',
     own(page('deep.js', 'let a = [];\nfor (let i = 0; i < 20000; i++) a = [a];\nJSON.stringify(a);\n')), 1,
     [['RangeError: Maximum call stack size exceeded']]],
    ["no Wine to start the plug-in's process", own(tracePage), 127,
     [["host: cannot start the plug-in's process"]], {KELVRA_WINE: '/nonexistent/wine'}],
    // A plug-in that crashes or hangs ends its process, not the page: its element loses
    // the plug-in's members and the page's later timer runs.
    ['a crashed plug-in: the page goes on', [...testPlugin, '--url', 'https://www.kelvra.com/#crash', lost], 6,
     [['a later timer: undefined']]],
    ['a hung plug-in: the page goes on', [...testPlugin, '--timeout', '1', '--url', 'https://www.kelvra.com/#hang', lost], 5,
     [['a later timer: undefined']]],
  ], ([behaviour]) => behaviour, async ([, args, code, sequences, environment]) => {
    const r = await run(args, {merged: true, environment});
    exits(r, code);
    for (const parts of sequences) ordered(r, 'out', parts);
  });
}

// A minified script of one long line with a source map beside it: the error names both
// positions and shows a window of the line, not all of it.
test("an error in a minified script: its position, the source map's, a window of its line", async () => {
  const code = 'var a=1;'.repeat(3000) + 'undefinedFunction(a);' + 'var b=2;'.repeat(3000);
  const digits = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/';
  const vlq = (n) => {
    let v = n << 1, s = '';
    do { let d = v & 31; v >>>= 5; if (v) d |= 32; s += digits[d]; } while (v);
    return s;
  };
  file('min.js.map', JSON.stringify({version: 3, sources: ['src/lib.js'], names: [],
                                     mappings: vlq(code.indexOf('undefinedFunction')) + vlq(0) + vlq(41) + vlq(6)}));
  const r = await run(proxy(file('min.js', `${code}\n//# sourceMappingURL=min.js.map\n`)));
  exits(r, 1);
  has(r, 'err', 'min.js:1:24001 (src/lib.js:42:7): ReferenceError: undefinedFunction is not defined');
  assert.ok(lines(r.err).every((line) => line.length <= 200), r.err.slice(0, 3000));
});

require('./modern_pages.js');

// The plug-in's process ends with its page's: none of this build's is left once the runs are over.
{
  const running = () => Number(childProcess.spawnSync('pgrep', ['-fc', `^${bin}/kelvra_plugin_process.exe`],
                                                      {encoding: 'utf8'}).stdout.trim() || 0);
  const before = running();
  test("no plug-in process outlives its run", () => assert.ok(running() <= before, `${running()} > ${before}`));
}
