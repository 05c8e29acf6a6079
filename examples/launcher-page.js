// A page of the maker's site driving the launcher through the plug-in: every one of
// the eighteen script methods, calls the plug-in turns down, and its exception.
// Written for the browsers that load NPAPI plug-ins: ES2017 (Firefox 52 ESR), no later
// syntax (`./kelvra demo` warns of any).
// Run it with: ./kelvra demo examples/launcher-page.js --url https://www.kelvra.com/play
//
// `plugin` is the page's embedding; on a page outside kelvra.com the plug-in gives
// it no scriptable object and it is null.

// A launcher HRESULT as the page sees it: a signed number (negative: failure);
// -1 is the plug-in's own answer for a call it turned down.
const hresult = (value) => {
  if (typeof value != "number" || value >= -1) return String(value);
  return `${value} (0x${(value + 4294967296).toString(16).toUpperCase()})`;
};

const results = {calls: 0, failed: 0, threw: 0};

// Shows what one call answered. A call is wrapped in try/catch: a browser throws the
// plug-in's exception into the page (its message, a string), and one failing call
// should not end the page's script.
function show(call, run) {
  results.calls++;
  try {
    const value = run();
    const text = typeof value == "string" ? `"${value}"` : hresult(value);
    if (typeof value == "number" && value < 0) results.failed++;
    console.log(`  ${call} -> ${text}  [${typeof value}]`);
    return value;
  } catch (e) {
    results.threw++;
    console.log(`  ${call} threw: ${e}`);
    return undefined;
  }
}

// The page's status area, when it has one (a bare script has none).
function status(text) {
  const area = document.getElementById("status");
  if (area !== null) area.textContent = text;
}

const sections = [
  ["greeting and install host", () => {
    show("HelloWorld()", () => plugin.HelloWorld());
    show("Hello()", () => plugin.Hello());
    show("Get_InstallHost()", () => plugin.Get_InstallHost());
  }],
  ["update", () => {
    show("Get_IsUpToDate()", () => plugin.Get_IsUpToDate());
    show("Update()", () => plugin.Update());
    show("Get_IsUpToDate()", () => plugin.Get_IsUpToDate());
  }],
  ["authentication and game start", () => {
    show('Put_AuthenticationTicket("")', () => plugin.Put_AuthenticationTicket(""));
    show('Put_AuthenticationTicket("ticket-42")', () => plugin.Put_AuthenticationTicket("ticket-42"));
    show("Get_GameStarted()", () => plugin.Get_GameStarted());
    show("PreStartGame()", () => plugin.PreStartGame());
    show("Get_GameStarted()", () => plugin.Get_GameStarted());
    show('StartGame("ticket-42", "level=1")', () => plugin.StartGame("ticket-42", "level=1"));
  }],
  ["window modes", () => {
    show("SetSilentModeEnabled(true)", () => plugin.SetSilentModeEnabled(true));
    show("SetStartInHiddenMode(true)", () => plugin.SetStartInHiddenMode(true));
    show("BringAppToFront()   (hidden: S_FALSE)", () => plugin.BringAppToFront());
    show("UnhideApp()", () => plugin.UnhideApp());
    show("BringAppToFront()", () => plugin.BringAppToFront());
    show("SetEditMode()", () => plugin.SetEditMode());
    show("ResetLaunchState()", () => plugin.ResetLaunchState());
    show("Get_GameStarted()", () => plugin.Get_GameStarted());
  }],
  ["key-value store (kept by the launcher across runs)", () => {
    const visits = show('GetKeyValue("demo.visits")', () => plugin.GetKeyValue("demo.visits"));
    const count = typeof visits == "string" ? parseInt(visits, 10) + 1 : 1;
    show(`SetKeyValue("demo.visits", "${count}")`,
         () => plugin.SetKeyValue("demo.visits", String(count)));
    show('SetKeyValue("demo.note", "see you soon")',
         () => plugin.SetKeyValue("demo.note", "see you soon"));
    show('GetKeyValue("demo.note")', () => plugin.GetKeyValue("demo.note"));
    show('DeleteKeyValue("demo.note")', () => plugin.DeleteKeyValue("demo.note"));
    show('GetKeyValue("demo.note")   (missing)', () => plugin.GetKeyValue("demo.note"));
    show('DeleteKeyValue("demo.note")   (missing)', () => plugin.DeleteKeyValue("demo.note"));
  }],
  ["calls the plug-in turns down with -1 (see its log for why)", () => {
    show("SetSilentModeEnabled(1)   (a number is no boolean)", () => plugin.SetSilentModeEnabled(1));
    show('StartGame("ticket-42")   (two arguments needed)', () => plugin.StartGame("ticket-42"));
    show('StartGame("ticket-42", 7)   (the script must be a string)',
         () => plugin.StartGame("ticket-42", 7));
    show('PreStartGame("now")   (no arguments allowed)', () => plugin.PreStartGame("now"));
    show("GetKeyValue(42)   (the key must be a string)", () => plugin.GetKeyValue(42));
  }],
  ["the object itself, and a name it does not know", () => {
    show("plugin()", () => plugin());
    show("plugin.hello()", () => plugin.hello());
  }],
];

function main() {
  console.log(`page host: ${window.location.host}`);
  if (plugin === null) {
    console.log("the plug-in refused this page: `plugin` has no scriptable object");
    status("The launcher plug-in is not available on this page.");
    return;
  }
  for (const [title, calls] of sections) {
    status(`Talking to the launcher: ${title}...`);
    console.log(title);
    calls();
  }
  const {calls, failed, threw} = results;
  const summary = `${calls} calls made: ${failed} answered a failure, ${threw} threw`;
  status(summary);
  console.log(summary);
}

// After the page has loaded, as a page does that works with its whole document.
window.addEventListener("load", main);
