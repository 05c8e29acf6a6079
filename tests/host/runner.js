// What the host's tests share: runs of the page host (node kelvra-page.js, with the
// plug-in in kelvra_plugin_process.exe under Wine) in a Wine prefix of the tests'
// own, page files written for a test, and the checks its rows make of a run's output.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const childProcess = require('child_process');

const [root, build] = process.argv.slice(2).map((p) => path.resolve(p));
if (!root || !build) {
  console.error('usage: node TEST.js SOURCE-DIR BUILD-DIR');
  process.exit(2);
}
const bin = path.join(build, 'bin');
const prefix = path.join(build, 'host-test-wineprefix');
// What a Wine program of the tests runs with.
const wine = {WINEPREFIX: prefix, WINEDEBUG: '-all', WINEDLLOVERRIDES: 'mscoree,mshtml='};
const env = Object.assign({}, process.env, wine);

// The prefix, made once as every prefix of the project is (tools/prefixes.sh).
childProcess.spawnSync('bash', ['-c', '. "$1/tools/prefixes.sh" && make_prefix "$2"', 'bash', root, prefix],
                       {env, stdio: 'ignore'});

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kelvra-host-test-'));
process.on('exit', () => fs.rmSync(work, {recursive: true, force: true}));

// A file of the test's: text is written as UTF-8, a Buffer as it is.
function file(name, content) {
  const at = path.join(work, name);
  fs.mkdirSync(path.dirname(at), {recursive: true});
  fs.writeFileSync(at, content);
  return at;
}

const plugin = ['--plugin', path.join(bin, 'NPKelvraProxy.dll')];
const launcher = ['--launcher', path.join(bin, 'KelvraDemoLauncher.dll')];
const testPlugin = ['--plugin', path.join(bin, 'NPKelvraTestPlugin.dll'),
                    '--type', 'application/x-kelvra-test'];

const kRunLimitMs = 90000;

// One run: its exit code (or the signal that ended it) and what it wrote. With `merged`, standard output and error
// go to one file, read into `out`, so that their order shows.
function run(args, {merged = false, environment = {}} = {}) {
  const outPath = path.join(work, `out-${process.hrtime.bigint()}`);
  const errPath = merged ? outPath : `${outPath}.err`;
  const out = fs.openSync(outPath, 'w');
  const err = merged ? out : fs.openSync(errPath, 'w');
  return new Promise((resolve) => {
    const child = childProcess.spawn('node', [path.join(bin, 'kelvra-page.js'), ...args],
                                     {env: Object.assign({}, env, environment),
                                      stdio: ['ignore', out, err]});
    // A run that never ends is a failure of its row, not a test run that hangs.
    const limit = setTimeout(() => child.kill('SIGKILL'), kRunLimitMs);
    child.on('exit', (code, signal) => {
      clearTimeout(limit);
      fs.closeSync(out);
      if (!merged) fs.closeSync(err);
      const result = {code: signal ? signal : code, out: fs.readFileSync(outPath, 'utf8'),
                      err: merged ? '' : fs.readFileSync(errPath, 'utf8')};
      fs.rmSync(outPath, {force: true});
      fs.rmSync(errPath, {force: true});
      resolve(result);
    });
  });
}

// The lines of a run's output, without the last line's end.
function lines(text) {
  return text === '' ? [] : text.replace(/\n$/, '').split('\n');
}

// Whether `parts` occur in `text` in this order.
function inOrder(text, parts) {
  let at = 0;
  for (const part of parts) {
    at = text.indexOf(part, at);
    if (at < 0) return false;
    at += part.length;
  }
  return true;
}

// What a failed check shows of a run.
function shown(result) {
  return `exit ${result.code}\n--- out\n${result.out.slice(-3000)}\n--- err\n${result.err.slice(-3000)}`;
}

// A test of one row per case, run two at a time (a run is mostly Wine's start-up,
// which waits on the disk and the Wine server), or one at a time where rows share
// state of the prefix.
function table(title, rows, name, check, {concurrency = 2} = {}) {
  require('node:test').test(title, {concurrency},
                            (t) => Promise.all(rows.map((row) => t.test(name(row), () => check(row)))));
}

module.exports = {root, build, bin, prefix, wine, work, file, plugin, launcher, testPlugin, run, lines,
                  inOrder, shown, table};
