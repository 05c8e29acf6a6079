// Loaded into the host with --require: the host's signal to itself reaches it late, as
// on a starved machine, where another thread takes the signal a moment after it is sent.
'use strict';
const {isMainThread, Worker} = require('worker_threads');

if (isMainThread) {
  const kill = process.kill.bind(process);
  process.kill = (pid, signal) => {
    if (pid !== process.pid || signal !== 'SIGINT') return kill(pid, signal);
    new Worker(`setTimeout(() => process.kill(${pid}, 'SIGINT'), 300);`, {eval: true});
    return true;
  };
}
