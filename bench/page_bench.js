// The page host's share of a call: the methods called from page script in the page
// host on jsdom, through the protocol to the plug-in's process, timed with
// performance.now(); the median of the repetitions, in microseconds, after a warm-up.
// "#quick" in the page's address: a few short batches, to see that it runs.
const quick = location.hash === '#quick';
const warmUp = quick ? 20 : 2000, batch = quick ? 20 : 2000, repetitions = quick ? 3 : 15;
const perCall = (call) => {
  const began = performance.now();
  for (let i = 0; i < batch; i++) call();
  return (performance.now() - began) * 1000 / batch;
};
console.log('method         jsdom page us');
for (const [name, call] of [['PreStartGame', () => plugin.PreStartGame()],
                            ['Hello', () => plugin.Hello()]]) {
  for (let i = 0; i < warmUp; i++) call();
  const times = [];
  for (let r = 0; r < repetitions; r++) times.push(perCall(call));
  times.sort((a, b) => a - b);
  console.log(name.padEnd(14) + ' ' + times[times.length >> 1].toFixed(2).padStart(13));
}
