#include "diag/ProxyState.h"

#include <objbase.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

// Built during the module's static initialisation, before the browser can call in;
// destroyed from the module's exit list at unload.
ProxyState proxyState;

namespace {

// GetTempPathW's buffer, and the longest file name (with its NUL) the log accepts.
const DWORD kTempPathChars = 256;
const size_t kNameChars = 260;

// The registry lock is held for one walk of the list at most: a short spin beats a
// wait in the kernel when another thread holds it.
const DWORD kRegistrySpinCount = 4000;

// Room kept in front of every message for the time stamp, so that stamp, text and
// line end leave in one WriteFile.
const size_t kStampRoom = kLogStampChars;
const size_t kLineEnd = 2;

std::wstring hexDigits(unsigned long value) {
  static const wchar_t digits[] = L"0123456789ABCDEF";
  wchar_t text[8];
  for (int i = 7; i >= 0; --i, value >>= 4) text[i] = digits[value & 0xF];
  return std::wstring(text, 8);
}

char* twoDigits(char* out, unsigned value) {
  *out++ = static_cast<char>('0' + value / 10 % 10);
  *out++ = static_cast<char>('0' + value % 10);
  return out;
}

}  // namespace

// Written by hand: the runtime's formatter would cost about as much as the write itself.
size_t formatLogStamp(const SYSTEMTIME& time, char* out) {
  char* end = out;
  end = twoDigits(end, time.wMonth);
  *end++ = '-';
  end = twoDigits(end, time.wDay);
  *end++ = '-';
  char year[5];
  int digits = 0;
  unsigned value = time.wYear;
  do {
    year[digits++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (digits > 0) *end++ = year[--digits];
  *end++ = ' ';
  end = twoDigits(end, time.wHour);
  *end++ = ':';
  end = twoDigits(end, time.wMinute);
  *end++ = ':';
  end = twoDigits(end, time.wSecond);
  *end++ = ' ';
  return static_cast<size_t>(end - out);
}

ProxyState::ProxyState()
    : logFile(INVALID_HANDLE_VALUE), logDisabled(false), logFailed(false), registryLockReady(false) {
  logPath = buildLogPath(L"log");
  if (!logDisabled) {
    // Other processes may read (and write) the file while the module holds it.
    logFile = CreateFileW(logPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    logFailed.store(logFile == INVALID_HANDLE_VALUE, std::memory_order_relaxed);
  }
  registryLockReady = InitializeCriticalSectionAndSpinCount(&registryLock, kRegistrySpinCount) != FALSE;
  InitializeCriticalSection(&logLock);
}

ProxyState::~ProxyState() {
  if (registryLockReady) DeleteCriticalSection(&registryLock);
  DeleteCriticalSection(&logLock);
  if (logFile != INVALID_HANDLE_VALUE) CloseHandle(logFile);
}

// The temporary directory + "KLV-" + the first field of a fresh GUID + "." + extension.
// A directory that does not fit the buffers turns the log off rather than overflowing.
std::wstring ProxyState::buildLogPath(const wchar_t* extension) {
  wchar_t temp[kTempPathChars];
  DWORD length = GetTempPathW(kTempPathChars, temp);
  if (length == 0 || length >= kTempPathChars) {
    logDisabled = true;
    return std::wstring();
  }
  GUID guid;
  unsigned long tag;
  if (SUCCEEDED(CoCreateGuid(&guid))) {
    tag = guid.Data1;
  } else {
    // Still distinct from other loads in other processes and at other times.
    tag = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
  }
  std::wstring name = std::wstring(temp, length) + L"KLV-" + hexDigits(tag) + L"." + extension;
  if (name.size() + 1 > kNameChars) {
    logDisabled = true;
    return std::wstring();
  }
  return name;
}

void ProxyState::logMessage(const char* format, ...) {
  if (logDisabled || logFailed.load(std::memory_order_relaxed)) return;

  va_list args;
  va_start(args, format);
  char stackLine[kStampRoom + kStackMessageChars + kLineEnd + 1];
  va_list measureArgs;
  va_copy(measureArgs, args);
  // Answers -1 when the message is longer than the stack room.
  int length = _vsnprintf(stackLine + kStampRoom, kStackMessageChars, format, measureArgs);
  va_end(measureArgs);
  if (length >= 0) {
    writeLogLine(stackLine, kStampRoom, static_cast<size_t>(length));
  } else {
    va_list measureAgain;
    va_copy(measureAgain, args);
    length = _vscprintf(format, measureAgain);
    va_end(measureAgain);
    if (length >= 0) {
      size_t textLength = static_cast<size_t>(length);
      char* heapLine = static_cast<char*>(malloc(kStampRoom + textLength + kLineEnd + 1));
      // Without the buffer only this line is lost.
      if (heapLine != NULL) {
        _vsnprintf(heapLine + kStampRoom, textLength + 1, format, args);
        writeLogLine(heapLine, kStampRoom, textLength);
        free(heapLine);
      }
    }
  }
  va_end(args);
}

// `line` holds the message at `stampRoom`, with room for the line end behind it.
void ProxyState::writeLogLine(char* line, size_t stampRoom, size_t textLength) {
  char* text = line + stampRoom;
  size_t feeds = static_cast<size_t>(std::count(text, text + textLength, '\n'));
  // Line feeds inside a message are stored as CR LF, like the line's own end.
  char* expanded = NULL;
  if (feeds != 0) {
    expanded = static_cast<char*>(malloc(stampRoom + textLength + feeds + kLineEnd));
    if (expanded == NULL) return;
    char* out = expanded + stampRoom;
    for (size_t i = 0; i < textLength; ++i) {
      if (text[i] == '\n') *out++ = '\r';
      *out++ = text[i];
    }
    line = expanded;
    textLength += feeds;
  }
  line[stampRoom + textLength] = '\r';
  line[stampRoom + textLength + 1] = '\n';

  EnterCriticalSection(&logLock);
  if (!logFailed.load(std::memory_order_relaxed)) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    char stamp[kLogStampChars];
    size_t stampLength = formatLogStamp(now, stamp);
    char* start = line + stampRoom - stampLength;
    memcpy(start, stamp, stampLength);
    DWORD size = static_cast<DWORD>(stampLength + textLength + kLineEnd);
    DWORD written = 0;
    if (!WriteFile(logFile, start, size, &written, NULL) || written != size) {
      logFailed.store(true, std::memory_order_relaxed);
    }
  }
  LeaveCriticalSection(&logLock);
  free(expanded);
}
