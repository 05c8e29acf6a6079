/*
 * kelvra_host: runs a page script against the Kelvra launcher plug-in the way a
 * Windows browser would host it. See host/README.md.
 */
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <shellapi.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "html_page.h"
#include "identity.h"
#include "page_run.h"
#include "plugin_discovery.h"
#include "plugin_loader.h"

namespace {

const char kUsage[] =
    "usage: kelvra_host [options] PAGE-SCRIPT.js | PAGE.html\n"
    "       kelvra_host --help\n"
    "       kelvra_host --register DLL [--plugin-id ID]\n"
    "       kelvra_host --unregister [--plugin-id ID]\n"
    "options:\n"
    "  --url URL          the page's address (default " KELVRA_SITE_URL ")\n"
    "  --plugin DLL       load this DLL instead of the registered plug-in\n"
    "  --launcher DLL     serve the launcher component from this DLL for the run,\n"
    "                     instead of the one registered for its class\n"
    "  --plugin-id ID     the registration under HKCU\\Software\\MozillaPlugins\n"
    "                     (default @kelvra.com/KelvraLauncherPlugin)\n"
    "  --type MIME        the embedding's type (default " KELVRA_MIME_TYPE ")\n"
    "  --name NAME        the embedding's name for script (default plugin)\n"
    "  --param NAME=VALUE a further attribute of the embedding (repeatable)\n"
    "  --private-temp     give the run a fresh temporary directory (the plug-in's log goes there)\n"
    "  --show-log         print the plug-in's log of the run after the script's output\n"
    "  --timeout SECONDS  end the run when one call into the plug-in takes longer\n"
    "                     (default 180; 0: no watchdog)\n"
    "exit: 0 ok, 1 script error, 2 usage, 3 plug-in (or launcher) not found or refused,\n"
    "      4 imbalance: references or memory not given back, 5 a plug-in call hung\n"
    "      past --timeout, 6 the plug-in crashed (a fault it did not handle)\n";

struct Options {
  host::PageRun run;
  std::wstring pluginId = host::kDefaultPluginId;
  std::wstring registerPath;
  bool unregister = false;
  bool privateTemp = false;
  bool showLog = false;
  bool help = false;
};

bool parseOptions(int argc, wchar_t** argv, Options* options) {
  host::PageRun& run = options->run;
  run.url = KELVRA_SITE_URL;
  run.mimeType = KELVRA_MIME_TYPE;
  run.elementName = L"plugin";
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == L"--help") {
      options->help = true;
      return true;
    } else if (arg == L"--show-log") {
      options->showLog = true;
    } else if (arg == L"--private-temp") {
      options->privateTemp = true;
    } else if (arg == L"--unregister") {
      options->unregister = true;
    } else if (arg.compare(0, 2, L"--") == 0 && hasValue) {
      std::wstring value = argv[++i];
      if (arg == L"--url") {
        run.url = narrow(value);
      } else if (arg == L"--plugin") {
        run.pluginPath = value;
      } else if (arg == L"--launcher") {
        run.launcherPath = value;
      } else if (arg == L"--plugin-id") {
        options->pluginId = value;
      } else if (arg == L"--type") {
        run.mimeType = narrow(value);
      } else if (arg == L"--name") {
        run.elementName = value;
      } else if (arg == L"--timeout" && !value.empty() &&
                 value.find_first_not_of(L"0123456789") == std::wstring::npos &&
                 value.size() <= 6) {
        run.timeoutSeconds = static_cast<unsigned>(_wtoi(value.c_str()));
      } else if (arg == L"--register") {
        options->registerPath = value;
      } else if (arg == L"--param" && value.find(L'=') != std::wstring::npos) {
        size_t equals = value.find(L'=');
        run.attributes.push_back(
            std::make_pair(narrow(value.substr(0, equals)), narrow(value.substr(equals + 1))));
      } else {
        return false;
      }
    } else if (arg.compare(0, 2, L"--") != 0 && run.scriptName.empty()) {
      run.scriptName = arg;
    } else {
      return false;
    }
  }
  bool registering = !options->registerPath.empty() || options->unregister;
  return registering ? run.scriptName.empty() : !run.scriptName.empty();
}

void writeLine(FILE* stream, const std::string& line) {
  fwrite(line.data(), 1, line.size(), stream);
  fputc('\n', stream);
  fflush(stream);
}

bool resolvePlugin(Options* options) {
  host::PageRun& run = options->run;
  if (!run.pluginPath.empty()) {
    fprintf(stderr, "host: plug-in named on the command line: %s\n",
            narrow(run.pluginPath).c_str());
    return true;
  }
  host::PluginRegistration registration;
  if (!host::findRegisteredPlugin(options->pluginId, &registration)) {
    fprintf(stderr,
            "host: no plug-in registered under HKCU\\Software\\MozillaPlugins\\%s (value Path); "
            "register one with --register DLL or name it with --plugin DLL\n",
            narrow(options->pluginId).c_str());
    return false;
  }
  run.pluginPath = registration.path;
  fprintf(stderr, "host: registered plug-in %s: %s, %s %s by %s\n  at %s\n",
          narrow(options->pluginId).c_str(), narrow(registration.description).c_str(),
          narrow(registration.productName).c_str(), narrow(registration.version).c_str(),
          narrow(registration.vendor).c_str(), narrow(registration.path).c_str());
  return true;
}

int registration(const Options& options) {
  if (options.unregister) {
    bool removed = host::unregisterPlugin(options.pluginId);
    fprintf(stderr, "host: %s HKCU\\Software\\MozillaPlugins\\%s\n",
            removed ? "removed" : "could not remove", narrow(options.pluginId).c_str());
    return removed ? host::kExitOk : host::kExitPluginRefused;
  }
  std::string reason;
  if (!host::registerPlugin(options.pluginId, options.registerPath, options.run.mimeType,
                            &reason)) {
    fprintf(stderr, "host: REFUSED: %s\n", reason.c_str());
    return host::kExitPluginRefused;
  }
  host::PluginRegistration written;
  host::findRegisteredPlugin(options.pluginId, &written);
  fprintf(stderr, "host: registered HKCU\\Software\\MozillaPlugins\\%s -> %s\n",
          narrow(options.pluginId).c_str(), narrow(written.path).c_str());
  return host::kExitOk;
}

void showLogs(const std::vector<std::wstring>& logs) {
  for (size_t i = 0; i < logs.size(); ++i) {
    writeLine(stdout, "---- plug-in log " + narrow(logs[i]) + " ----");
    std::vector<std::string> lines = splitLines(readFileShared(logs[i]));
    for (size_t n = 0; n < lines.size(); ++n) writeLine(stdout, lines[n]);
  }
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  // Console text is UTF-8 bytes with plain line feeds, whatever the runtime's mode.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  Options options;
  if (!parseOptions(argc, argv, &options)) {
    fputs(kUsage, stderr);
    return host::kExitUsage;
  }
  if (options.help) {
    fputs(kUsage, stdout);
    return host::kExitOk;
  }
  if (!options.registerPath.empty() || options.unregister) return registration(options);

  host::PageRun& run = options.run;
  if (!host::readUtf8File(run.scriptName, &run.script)) {
    fprintf(stderr, "host: cannot read %s as UTF-8 text\n", narrow(run.scriptName).c_str());
    return host::kExitUsage;
  }
  if (!resolvePlugin(&options)) return host::kExitPluginRefused;
  if (options.privateTemp) {
    std::wstring temp = makeTemporaryDirectory(L"kelvra-host-");
    setProcessTemporaryDirectory(temp);
    fprintf(stderr, "host: temporary directory %s\n", narrow(temp).c_str());
  }

  HRESULT com = CoInitialize(NULL);
  host::PageOutcome outcome = host::runPage(
      run,
      [](bool isError, const std::string& line) { writeLine(isError ? stderr : stdout, line); },
      stderr);
  if (SUCCEEDED(com)) CoUninitialize();
  if (options.showLog) showLogs(outcome.logFiles);
  return outcome.exitCode;
}
