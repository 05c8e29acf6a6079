// alert, confirm and prompt print their text and answer as a user pressing OK.
export function makeDialogs(host) {
  return {
    alert(message) { host.log('alert: ' + (message === undefined ? '' : String(message))); },
    confirm(message) {
      host.log('confirm: ' + (message === undefined ? '' : String(message)) + '  [answered OK]');
      return true;
    },
    prompt(message, value) {
      const answer = value === undefined ? '' : String(value);
      host.log('prompt: ' + (message === undefined ? '' : String(message)) + '  [answered ' +
               JSON.stringify(answer) + ']');
      return answer;
    },
  };
}
