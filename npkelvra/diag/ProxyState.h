/*
 * The module's one process-wide object: the diagnostic log and the instance
 * registry's storage and lock. Built at module load, destroyed at unload.
 */
#ifndef NPKELVRA_DIAG_PROXYSTATE_H
#define NPKELVRA_DIAG_PROXYSTATE_H

#include <windows.h>

#include <atomic>

#include "diag/log_format.h"

struct NP_KELVRA_INSTANCE;
struct NPObject;

// A node of the registry's list. The list owns its nodes, never the records.
struct RecordNode {
  RecordNode* prev;
  RecordNode* next;
  NP_KELVRA_INSTANCE* record;
};

// The registry's records, in insertion order.
struct RecordList {
  RecordNode* first;
  RecordNode* last;
};

// Each scriptable object's first node in the list, sorted by object address, so that a
// script call finds its launcher without walking the list.
struct ObjectIndexEntry {
  NPObject* object;
  RecordNode* node;
};
struct ObjectIndex {
  ObjectIndexEntry* entries;  // malloc'd; moves to a larger block as it grows
  size_t count;
  size_t capacity;
};

class ProxyState {
public:
  // Longest message (its line feeds stored as CR LF) formatted without touching the heap.
  static const size_t kStackMessageChars = kLogFieldLimit;

  // Builds the log on the temporary directory the process reports (TMP, TEMP, ...).
  ProxyState();
  ~ProxyState();
  ProxyState(const ProxyState&) = delete;
  ProxyState& operator=(const ProxyState&) = delete;

  // printf-style; one time-stamped line, flushed before it returns. Never fails a caller.
  void logMessage(const char* format, ...) KELVRA_PRINTF_FORMAT(2, 3);

  // GetTempPathW's buffer, and the longest file name (with its NUL) the log accepts.
  static const DWORD kTempPathChars = 256;
  static const size_t kLogPathChars = 260;

  // Full name of this load's log file; empty when the log is off.
  wchar_t logPath[kLogPathChars];
  HANDLE logFile;
  bool logDisabled;
  // Set when the file cannot be opened or a write fails; every later line is dropped.
  std::atomic<bool> logFailed;

  // The registry's storage, kept by its operations (base/registry.cpp). Both grow through
  // malloc, whose failure the registry answers: nothing in the module throws.
  RecordList objList;
  ObjectIndex firstByObject;
  // Guards objList and its walks. Not ready when it could not be initialised (older
  // systems, short of memory): the registry then runs unlocked, which is sound while
  // only the browser's plug-in thread calls in.
  CRITICAL_SECTION registryLock;
  bool registryLockReady;
  CRITICAL_SECTION logLock;

private:
  // Composes logPath; sets logDisabled when no name can be made.
  void buildLogPath(const wchar_t* extension);
  void writeLogLine(char* line, size_t textLength);

  // The last stamp, kept (under logLock) for as long as the tick count shows that the
  // second it names cannot have ended: most lines then take no clock read of their own.
  char stamp[kLogStampChars];
  size_t stampLength;
  DWORD stampTick;
  DWORD stampLife;  // milliseconds from stampTick; 0: no stamp yet
};

// The one instance, defined with the module's other static state.
extern ProxyState proxyState;

#endif
