// The target browsers' language: Node.js runs today's, more than Firefox 52 and the
// browsers built like it do, so each page script is also parsed at the chosen level
// (acorn), and syntax beyond it is reported as a warning with its file and line.
import {parse} from 'acorn';

export function checkSyntax(source, file, level, report) {
  try {
    parse(source, {ecmaVersion: level, sourceType: 'script', locations: true});
    return;
  } catch (e) {
    if (!(e instanceof SyntaxError) || e.loc === undefined) throw e;
    try {
      parse(source, {ecmaVersion: 'latest', sourceType: 'script'});
    } catch (notAtAll) {
      return;  // an error at any level: the engine reports it when the script runs
    }
    const text = source.split('\n')[e.loc.line - 1].replace(/\r$/, '');
    report(`WARNING ${file}:${e.loc.line}: not ES${level} syntax (--syntax-level): ` +
           e.message.replace(/ \(\d+:\d+\)$/, ''));
    report('  ' + text);
  }
}
