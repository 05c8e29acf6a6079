/*
 * What a run does before its page: the command line checked, the page file read,
 * the registrations and the store reset it asks for, then the plug-in found (named or
 * registered) and the demo launcher's answers handed over; and what it shows after.
 */
#ifndef KELVRA_HOST_RUN_SETUP_H
#define KELVRA_HOST_RUN_SETUP_H

#include <stdio.h>

#include <string>
#include <vector>

#include "options.h"

namespace host {

// The command line, the page and the registrations: an exit code when the run ends
// there (usage, --help to `usage`, a refusal, or nothing more to do), -1 when the
// page is to run.
int prepareRun(int argc, wchar_t** argv, Options* options, FILE* usage);
// A Windows path, with its Unix form first where the program runs under Wine.
std::string shownPath(const std::wstring& path);
// The plug-in named on the command line or registered under the run's id.
bool resolvePlugin(Options* options);
// The answers reach the demo launcher through this process's environment (answers.h).
void handOverAnswers(const std::vector<std::wstring>& answers);
// The plug-in's log files, whole (--show-log).
void showLogs(const std::vector<std::wstring>& logs, FILE* out);
// The run's temporary directory (--private-temp; none when empty) removed, unless
// --keep-log keeps it, and said so.
void closeTemporaryDirectory(const Options& options, const std::wstring& temp);

}  // namespace host

#endif
