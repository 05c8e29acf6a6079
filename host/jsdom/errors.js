// Where an uncaught error of the page happened, as the host reports it: the innermost
// frame of the page's own code (its file, line and column), mapped back through a
// source map beside the script when the script names one, and the line's text cut to
// a window around the column, so that a minified library does not print its whole line.
'use strict';
const fs = require('fs');
const path = require('path');
const {SourceMap} = require('module');

const kWindow = 160;

// The frames of an error's stack that name a file, line and column; a SyntaxError of a
// script that did not compile names its file and line alone, in its first line.
function frames(error) {
  const stack = typeof error.stack === 'string' ? error.stack.split('\n') : [];
  const found = [];
  for (const line of stack) {
    const m = /^\s+at (?:.* \()?([^\s()]+):(\d+):(\d+)\)?$/.exec(line);
    if (m) found.push({file: m[1], line: Number(m[2]), column: Number(m[3])});
  }
  // Node's account of where a script's error was thrown leads its stack.
  const compile = /^(.+):(\d+)$/.exec(stack[0] || '');
  if (compile) found.push({file: compile[1], line: Number(compile[2]), column: 0});
  return found;
}

// The line's text, cut to about kWindow characters around the column.
function cut(text, column) {
  if (text.length <= kWindow) return text;
  const start = Math.max(0, Math.min(column - kWindow / 2, text.length - kWindow));
  const end = start + kWindow;
  return (start > 0 ? '…' : '') + text.slice(start, end) + (end < text.length ? '…' : '');
}

class Positions {
  constructor() {
    this.sources = new Map();  // a script's name -> {text, dir}
    this.maps = new Map();     // a script's name -> its SourceMap, or null
  }

  // A script the page runs, under the name its errors will show.
  add(name, text, dir) { this.sources.set(name, {text, dir}); }

  // The source map a script names (a file beside it), or null.
  mapOf(name) {
    if (this.maps.has(name)) return this.maps.get(name);
    let map = null;
    const source = this.sources.get(name);
    const named = source && /\/\/[#@] sourceMappingURL=(\S+)\s*$/.exec(source.text);
    if (named && !/^[a-z]+:/i.test(named[1])) {
      try {
        map = new SourceMap(JSON.parse(fs.readFileSync(path.resolve(source.dir, named[1]), 'utf8')));
      } catch (e) {
        map = null;
      }
    }
    this.maps.set(name, map);
    return map;
  }

  // {where, text}: "file:line:column" (and its source position), the line's text; or
  // null when no frame is in the page's scripts.
  of(error) {
    const frame = frames(error).find((f) => this.sources.has(f.file));
    if (frame === undefined) return null;
    let where = `${frame.file}:${frame.line}` + (frame.column > 0 ? `:${frame.column}` : '');
    const map = frame.column > 0 ? this.mapOf(frame.file) : null;
    const entry = map !== null ? map.findEntry(frame.line - 1, frame.column - 1) : null;
    if (entry && entry.originalSource !== undefined) {
      where += ` (${entry.originalSource}:${entry.originalLine + 1}:${entry.originalColumn + 1})`;
    }
    const line = this.sources.get(frame.file).text.split('\n')[frame.line - 1];
    return {where, text: line === undefined ? '' : cut(line.trim(), frame.column)};
  }
}

module.exports = {Positions};
