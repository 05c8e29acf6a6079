/*
 * The host program's command line, and the checks on what it names before anything
 * runs: the page script file, the page's URL, the launcher answers. Every refusal is
 * one line that names the option or file and the reason.
 */
#ifndef KELVRA_HOST_OPTIONS_H
#define KELVRA_HOST_OPTIONS_H

#include <string>
#include <utility>
#include <vector>

#include "protocol_ops.h"

namespace host {

// Exit codes of the host program. Either of its processes may end the run, and the page's
// passes the plug-in's code on, so the numbers are the protocol's, which both read.
using wire::kExitOk;
using wire::kExitScriptError;
using wire::kExitUsage;
using wire::kExitPluginRefused;  // plug-in not found, not one for the type, or not loadable;
                                 // or the --launcher DLL serves no launcher
using wire::kExitImbalance;      // the run ended with references or memory not given back
using wire::kExitHung;           // a call into the plug-in ran past --timeout
using wire::kExitCrashed;        // the plug-in faulted (an exception it left unhandled)
using wire::kExitScriptTimeout;  // the page's script did not end within its time
using wire::kExitInterrupted;    // the user interrupted the run (Ctrl-C)

// A watchdog's default: long enough for any honest call, short of a stuck test run.
const unsigned kDefaultTimeoutSeconds = 180;
// How long a loaded page stays open at most while timers, streams or calls are pending.
const unsigned long kDefaultStayOpenSeconds = 10;
// The language the browsers that load NPAPI plug-ins share: Firefox 52's, ES2017.
const int kDefaultSyntaxLevel = 2017;

// What a page run is, as the command line gives it.
struct PageRun {
  std::wstring pluginPath;
  std::wstring launcherPath;  // empty: the launcher is found through its registration
  std::string url;
  std::string mimeType;
  std::wstring elementName;  // the embedding's name for script (its id attribute)
  std::vector<std::pair<std::string, std::string>> attributes;  // beyond type, id, size
  std::wstring scriptName;  // for error reports; a name ending .html or .htm is a page
  std::wstring script;      // the script's text, or the page's HTML
  std::string charset = "utf-8";  // the page's, for its scripts without their own
  unsigned timeoutSeconds = kDefaultTimeoutSeconds;  // plug-in calls; 0: no watchdog
  unsigned long scriptTimeoutSeconds = 0;  // each script run; 0: no limit
  unsigned long stayOpenSeconds = kDefaultStayOpenSeconds;  // after load; 0: no limit
  int syntaxLevel = kDefaultSyntaxLevel;  // scripts are checked against (a year; 5; 0: none)
};

// Stops page script that has not ended by then; 0 lets it run for ever.
const unsigned long kDefaultScriptTimeoutSeconds = 30;

struct Options {
  PageRun run;
  std::wstring pluginId;
  std::wstring registerPath;
  std::wstring launcherRegisterPath;  // a launcher DLL whose DllRegisterServer to call
  std::wstring defaultPage;  // run when no page is named
  std::vector<std::wstring> launcherAnswers;  // as given, checked
  bool unregister = false;
  bool privateTemp = false;
  bool showLog = false;
  bool keepLog = false;
  bool follow = false;
  bool trace = false;    // each operation of page script on a plug-in object
  bool dumpDom = false;  // the document's markup at the end
  bool resetStore = false;
  bool help = false;
};

// False with a one-line `error` for an unknown option, a missing or bad value, or
// a page too many; a page that is missing is not an error here. Registering and
// running a page may go together: the registrations come first.
bool parseOptions(int argc, wchar_t** argv, Options* options, std::string* error);

// Whether `url` is SCHEME://HOST[:PORT][/...] with a host name and a port from 1 to
// 65535; `reason` says what is wrong.
bool checkUrl(const std::string& url, std::string* reason);

// The page at `given` (as the user wrote it) as text: a bare script in UTF-8; an HTML
// page in the charset its <meta> declares (UTF-8 or windows-1252; UTF-8 when it
// declares none), with a UTF-8 byte-order mark overriding either, as in browsers.
// `charset` (may be NULL) receives the one used. `reason` says why not: no such file,
// a directory, unreadable, a charset the host does not read, or not UTF-8 (with the
// line and byte where it stops being UTF-8).
bool readPageScript(const std::wstring& given, std::wstring* script, std::string* reason,
                    std::string* charset = NULL);
// A script of a page (its src): in `charset` (its own charset attribute, else the
// page's), unless it starts with a UTF-8 byte-order mark.
bool readScriptFile(const std::wstring& given, const std::string& charset, std::wstring* script,
                    std::string* reason);
// Whether a page file is HTML (by its name: .html or .htm).
bool isHtmlName(const std::wstring& name);

// A path as Windows calls open it: a Unix path ("/work/page.js") through the
// running system's mapping (Wine's), anything else as it is.
std::wstring systemPath(const std::wstring& given);
// The Unix path of a Windows path where the program runs under Wine, else "".
std::string unixPath(const std::wstring& windowsPath);

}  // namespace host

#endif
