#include "diag/ProxyState.h"

#include <objbase.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// Built during the module's static initialisation, before the browser can call in;
// destroyed from the module's exit list at unload.
ProxyState proxyState;

namespace {

// The registry lock is held for one walk of the list at most: a short spin beats a
// wait in the kernel when another thread holds it.
const DWORD kRegistrySpinCount = 4000;

// Room kept in front of every message for the time stamp, so that stamp, text and
// line end leave in one WriteFile.
const size_t kStampRoom = kLogStampChars;
const size_t kLineEnd = 2;

// A stamp is reused only while the tick count lies this far inside its second: the
// tick count moves in steps of up to 16 ms and is read apart from the clock.
const DWORD kStampMarginMs = 50;

// Appends `text` at `end` when it fits before `limit`; answers the new end, or NULL.
wchar_t* append(wchar_t* end, const wchar_t* limit, const wchar_t* text, size_t length) {
  if (end == NULL || length > static_cast<size_t>(limit - end)) return NULL;
  memcpy(end, text, length * sizeof(wchar_t));
  return end + length;
}

}  // namespace

ProxyState::ProxyState()
    : logPath(),
      logFile(INVALID_HANDLE_VALUE),
      logDisabled(false),
      logFailed(false),
      objList(),
      firstByObject(),
      registryLockReady(false),
      stampLength(0),
      stampTick(0),
      stampLife(0) {
  buildLogPath(L"log");
  if (!logDisabled) {
    // Other processes may read (and write) the file while the module holds it.
    logFile = CreateFileW(logPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    logFailed.store(logFile == INVALID_HANDLE_VALUE, std::memory_order_relaxed);
  }
  registryLockReady = InitializeCriticalSectionAndSpinCount(&registryLock, kRegistrySpinCount) != FALSE;
  InitializeCriticalSection(&logLock);
}

ProxyState::~ProxyState() {
  if (registryLockReady) DeleteCriticalSection(&registryLock);
  DeleteCriticalSection(&logLock);
  // The list's nodes only: records still listed are neither freed nor released.
  for (RecordNode* node = objList.first; node != NULL;) {
    RecordNode* next = node->next;
    free(node);
    node = next;
  }
  free(firstByObject.entries);
  if (logFile != INVALID_HANDLE_VALUE) CloseHandle(logFile);
}

// The temporary directory + "KLV-" + the first field of a fresh GUID + "." + extension.
// A directory that does not fit the buffers turns the log off rather than overflowing.
void ProxyState::buildLogPath(const wchar_t* extension) {
  wchar_t temp[kTempPathChars];
  const DWORD length = GetTempPathW(kTempPathChars, temp);
  if (length == 0 || length >= kTempPathChars) {
    logDisabled = true;
    return;
  }
  GUID guid;
  unsigned long tag;
  if (SUCCEEDED(CoCreateGuid(&guid))) {
    tag = guid.Data1;
  } else {
    // Still distinct from other loads in other processes and at other times.
    tag = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
  }
  static const wchar_t digits[] = L"0123456789ABCDEF";
  wchar_t hex[8];
  for (int i = 7; i >= 0; --i, tag >>= 4) hex[i] = digits[tag & 0xF];

  // Room for the name and its NUL.
  const wchar_t* const limit = logPath + kLogPathChars - 1;
  wchar_t* end = append(logPath, limit, temp, length);
  end = append(end, limit, L"KLV-", 4);
  end = append(end, limit, hex, 8);
  end = append(end, limit, L".", 1);
  end = append(end, limit, extension, wcslen(extension));
  if (end == NULL) {
    logDisabled = true;
    logPath[0] = L'\0';
    return;
  }
  *end = L'\0';
}

void ProxyState::logMessage(const char* format, ...) {
  if (logDisabled || logFailed.load(std::memory_order_relaxed)) return;

  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  char stackLine[kStampRoom + kStackMessageChars + kLineEnd];
  size_t length = formatLogText(stackLine + kStampRoom, kStackMessageChars, format, args);
  if (length <= kStackMessageChars) {
    writeLogLine(stackLine, length);
  } else if (length <= SIZE_MAX - kStampRoom - kLineEnd) {
    // Without the buffer only this line is lost.
    char* heapLine = static_cast<char*>(malloc(kStampRoom + length + kLineEnd));
    if (heapLine != NULL) {
      formatLogText(heapLine + kStampRoom, length, format, again);
      writeLogLine(heapLine, length);
      free(heapLine);
    }
  }
  va_end(again);
  va_end(args);
}

// `line` holds the message behind kStampRoom bytes, with room for the line end after it.
void ProxyState::writeLogLine(char* line, size_t textLength) {
  memcpy(line + kStampRoom + textLength, "\r\n", kLineEnd);

  EnterCriticalSection(&logLock);
  if (!logFailed.load(std::memory_order_relaxed)) {
    const DWORD tick = GetTickCount();
    if (tick - stampTick >= stampLife) {
      SYSTEMTIME now;
      GetSystemTime(&now);
      stampLength = formatLogStamp(now, stamp);
      stampTick = tick;
      const DWORD left = 1000u - now.wMilliseconds;
      stampLife = left > kStampMarginMs ? left - kStampMarginMs : 0;
    }
    char* start = line + kStampRoom - stampLength;
    memcpy(start, stamp, stampLength);
    DWORD size = static_cast<DWORD>(stampLength + textLength + kLineEnd);
    DWORD written = 0;
    if (!WriteFile(logFile, start, size, &written, NULL) || written != size) {
      logFailed.store(true, std::memory_order_relaxed);
    }
  }
  LeaveCriticalSection(&logLock);
}
