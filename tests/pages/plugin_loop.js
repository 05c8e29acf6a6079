// The plug-in's own timers, asynchronous calls and URL streams, served in its process
// between the page's tasks: every event reaches the plug-in's listener.
plugin.listener = function (e) { console.log(e); };
console.log('get ' + plugin.get('data:text/plain;base64,aGVsbG8gd29ybGQ=', true));
console.log('get ' + plugin.get('https://www.kelvra.com/offline', true));
console.log('get ' + plugin.get('data:,cancel%20me%20now', true));
console.log('get ' + plugin.get('javascript:"js " + (6 * 7)', true));
console.log('timer ' + plugin.timer(5, false));
plugin.async();
setTimeout(function (a) { console.log('timeout ' + a); }, 20, 'arg');
console.log('script end');
