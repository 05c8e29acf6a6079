#include "page_loop.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <list>
#include <mutex>
#include <vector>

#include "plugin_guard.h"
#include "plugin_loader.h"

namespace host {
namespace {

// Browsers clamp repeating timers: a zero interval must not spin the loop.
const long kMinimumRepeat = 4;
// How much of a stream one NPP_Write offers at most, as a network read would.
const int32_t kChunk = 16384;

struct Timer {
  long id;
  ULONGLONG due;
  long interval;
  bool repeat;
  bool script;                  // a script timer (the session keeps its function), or
  NPP instance;                 // a plug-in timer's instance ...
  void (*fire)(NPP, uint32_t);  // ... and function
};

struct AsyncCall {
  NPP instance;
  void (*call)(void*);
  void* data;
};

enum StreamStage { kStart, kWriting, kAsFile, kDone };

struct Stream {
  NPP instance;
  std::string url;  // as the plug-in asked for it (NPP_URLNotify's url)
  std::string mime;
  std::string body;
  std::string fileName;  // the local file, for NP_ASFILE
  std::wstring cacheDirectory;  // a data: stream's file for NPP_StreamAsFile, if made
  bool refused;          // offline: only the notification is owed
  std::string script;    // a javascript: URL's code, run when the stream starts
  bool notify;
  void* notifyData;
  NPStream np;
  bool opened;
  uint16_t type;
  size_t offset;
  StreamStage stage;
  NPReason reason;
};

// A stream from the plug-in into a window of the page (NPN_NewStream). Its NPStream
// is the browser's memory, so that one never freed shows in the browser's accounting.
struct PluginStream {
  NPP instance;
  std::string mime;
  std::string target;
  std::string bytes;
  NPStream* np;
};

struct Loop {
  StreamTarget target;
  TimerCall timerCall;
  TaskEnd taskEnd;
  long nextId = 1;
  std::vector<Timer> timers;
  std::list<Stream> streams;
  std::vector<PluginStream> pluginStreams;
  LoopCounts counts = {};
  DWORD thread = 0;
  HANDLE wake = NULL;
  volatile LONG interrupted = 0;  // the user's interrupt: the page waits for nothing more
  std::mutex lock;  // guards `calls`, posted from any thread
  std::vector<AsyncCall> calls;
};

Loop& loop() {
  static Loop* state = new Loop();
  return *state;
}

ULONGLONG now() { return GetTickCount64(); }

long addTimer(Timer timer) {
  Loop& l = loop();
  timer.id = l.nextId++;
  timer.due = now() + static_cast<ULONGLONG>(timer.interval);
  if (timer.repeat && timer.interval < kMinimumRepeat) timer.interval = kMinimumRepeat;
  l.timers.push_back(timer);
  return timer.id;
}

void dropTimer(std::vector<Timer>::iterator timer) { loop().timers.erase(timer); }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string resolveUrl(const std::string& url, const std::string& base) {
  if (!browser::urlScheme(url).empty()) return url;
  size_t origin = base.find("://");
  origin = origin == std::string::npos ? 0 : base.find('/', origin + 3);
  if (origin == std::string::npos) origin = base.size();
  if (!url.empty() && url[0] == '/') return base.substr(0, origin) + url;
  size_t end = base.find_first_of("?#");
  std::string path = base.substr(0, end);
  size_t slash = path.rfind('/');
  return (slash == std::string::npos || slash < origin ? path + "/" : path.substr(0, slash + 1)) +
         url;
}

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lower(c);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string percentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() + 0 && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool base64Decode(const std::string& text, std::string* out) {
  unsigned value = 0;
  int bits = 0;
  for (char c : text) {
    int digit;
    if (c >= 'A' && c <= 'Z')
      digit = c - 'A';
    else if (c >= 'a' && c <= 'z')
      digit = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      digit = c - '0' + 52;
    else if (c == '+')
      digit = 62;
    else if (c == '/')
      digit = 63;
    else if (c == '=' || c == ' ' || c == '\r' || c == '\n')
      continue;
    else
      return false;
    value = (value << 6) | static_cast<unsigned>(digit);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<char>((value >> bits) & 0xFF));
    }
  }
  return true;
}

}  // namespace

// data:[type][;base64],payload
bool decodeDataUrl(const std::string& url, std::string* mime, std::string* body) {
  size_t comma = url.find(',');
  if (comma == std::string::npos) return false;
  std::string header = url.substr(5, comma - 5);
  bool base64 = header.size() >= 7 && header.compare(header.size() - 7, 7, ";base64") == 0;
  if (base64) header.erase(header.size() - 7);
  size_t semicolon = header.find(';');
  *mime = header.substr(0, semicolon);
  if (mime->empty()) *mime = "text/plain";
  std::string payload = percentDecode(url.substr(comma + 1));
  body->clear();
  if (!base64) {
    *body = payload;
    return true;
  }
  return base64Decode(payload, body);
}

namespace {

// What a browser guesses from a local file's extension.
std::string mimeForFile(const std::string& path) {
  static const struct {
    const char* extension;
    const char* mime;
  } kTypes[] = {{".txt", "text/plain"},        {".html", "text/html"},
                {".htm", "text/html"},         {".js", "application/javascript"},
                {".json", "application/json"}, {".xml", "text/xml"},
                {".png", "image/png"},         {".jpg", "image/jpeg"},
                {".gif", "image/gif"}};
  size_t dot = path.rfind('.');
  std::string extension;
  for (size_t i = dot == std::string::npos ? path.size() : dot; i < path.size(); ++i) {
    extension += lower(path[i]);
  }
  for (const auto& type : kTypes) {
    if (extension == type.extension) return type.mime;
  }
  return "application/octet-stream";
}

// file:///C:/dir/name or file://localhost/C:/dir/name as a Windows path.
std::wstring filePath(const std::string& url) {
  std::string path = percentDecode(url.substr(5));
  if (path.compare(0, 11, "//localhost") == 0) path.erase(0, 11);
  while (!path.empty() && path[0] == '/' && path.size() > 2 && path[2] != ':') path.erase(0, 1);
  if (path.size() > 2 && path[0] == '/' && path[2] == ':') path.erase(0, 1);
  size_t end = path.find_first_of("?#");
  path = path.substr(0, end);
  std::replace(path.begin(), path.end(), '/', '\\');
  return widen(path);
}

void notifyDone(const Stream& stream, NPReason reason) {
  const NPPluginFuncs* funcs = loop().target.funcs;
  if (stream.notify && funcs->urlnotify != NULL) {
    PluginCall call("NPP_URLNotify");
    funcs->urlnotify(stream.instance, stream.url.c_str(), reason, stream.notifyData);
  }
}

// A javascript: URL runs when its stream would start: its string value is the body;
// without a value (or with an error) the plug-in is told of a network error, as
// Firefox tells it. With a target only the notification is owed. False once over.
bool runUrlScript(Stream& stream) {
  std::string result;
  bool defined = false;
  bool ran = loop().target.evaluate && loop().target.evaluate(stream.script, &result, &defined);
  stream.script.clear();
  if (stream.stage == kDone) {  // a target was named
    notifyDone(stream, ran ? NPRES_DONE : NPRES_NETWORK_ERR);
    return false;
  }
  if (!ran || !defined) {
    notifyDone(stream, NPRES_NETWORK_ERR);
    ++loop().counts.urlsRefused;
    return false;
  }
  stream.body = result;
  stream.mime = "text/plain";
  return true;
}

// One step of a stream in a browser's order: NPP_NewStream, NPP_WriteReady and
// NPP_Write until the body is written, NPP_StreamAsFile for a file stream,
// NPP_DestroyStream, then NPP_URLNotify. False once the stream is over.
bool stepStream(Stream& stream) {
  const NPPluginFuncs* funcs = loop().target.funcs;
  if (!stream.script.empty() && stream.stage == kDone) return runUrlScript(stream);
  if (stream.refused) {
    notifyDone(stream, NPRES_NETWORK_ERR);
    ++loop().counts.urlsRefused;
    return false;
  }
  switch (stream.stage) {
    case kStart: {
      if (!stream.script.empty() && !runUrlScript(stream)) return false;
      memset(&stream.np, 0, sizeof stream.np);
      stream.np.url = stream.url.c_str();
      stream.np.end = static_cast<uint32_t>(stream.body.size());
      stream.np.notifyData = stream.notifyData;
      stream.type = NP_NORMAL;
      PluginCall call("NPP_NewStream");
      NPError error = funcs->newstream != NULL ? funcs->newstream(stream.instance, &stream.mime[0],
                                                                  &stream.np, false, &stream.type)
                                               : NPERR_GENERIC_ERROR;
      if (error != NPERR_NO_ERROR) {
        notifyDone(stream, NPRES_NETWORK_ERR);
        return false;
      }
      stream.opened = true;
      stream.stage = stream.type == NP_ASFILEONLY ? kAsFile : kWriting;
      return true;
    }
    case kWriting: {
      if (stream.offset >= stream.body.size()) {
        stream.stage = stream.type == NP_ASFILE ? kAsFile : kDone;
        return true;
      }
      PluginCall call("NPP_WriteReady, NPP_Write");
      int32_t ready =
          funcs->writeready != NULL ? funcs->writeready(stream.instance, &stream.np) : kChunk;
      if (ready <= 0) return true;  // not ready: offered again on a later turn
      int32_t length = static_cast<int32_t>(std::min(stream.body.size() - stream.offset,
                                                     static_cast<size_t>(std::min(ready, kChunk))));
      int32_t written = funcs->write != NULL ? funcs->write(stream.instance, &stream.np,
                                                            static_cast<int32_t>(stream.offset),
                                                            length, &stream.body[stream.offset])
                                             : length;
      if (written < 0) {
        stream.reason = NPRES_NETWORK_ERR;  // the plug-in gives up on the stream
        stream.stage = kDone;
      } else {
        stream.offset += static_cast<size_t>(std::min(written, length));
      }
      return true;
    }
    case kAsFile:
      if (funcs->asfile != NULL) {
        std::string name = stream.fileName;
        if (name.empty()) {
          // A data: stream as a file: the browser's cache file of it.
          stream.cacheDirectory = makeTemporaryDirectory(L"kelvra-stream-");
          std::wstring path = stream.cacheDirectory + L"stream.bin";
          HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, NULL);
          DWORD written = 0;
          if (file != INVALID_HANDLE_VALUE) {
            WriteFile(file, stream.body.data(), static_cast<DWORD>(stream.body.size()), &written,
                      NULL);
            CloseHandle(file);
          }
          name = narrow(path);
        }
        PluginCall call("NPP_StreamAsFile");
        funcs->asfile(stream.instance, &stream.np, name.c_str());
      }
      stream.stage = kDone;
      return true;
    case kDone:
      if (funcs->destroystream != NULL) {
        PluginCall call("NPP_DestroyStream");
        funcs->destroystream(stream.instance, &stream.np, stream.reason);
      }
      notifyDone(stream, stream.reason);
      ++loop().counts.streamsDelivered;
      return false;
  }
  return false;
}

std::vector<PluginStream>::iterator findPluginStream(NPP instance, NPStream* np) {
  std::vector<PluginStream>& streams = loop().pluginStreams;
  return std::find_if(streams.begin(), streams.end(), [instance, np](const PluginStream& s) {
    return s.np == np && s.instance == instance;
  });
}

std::string reasonName(NPReason reason) {
  static const char* const kNames[] = {"NPRES_DONE", "NPRES_NETWORK_ERR", "NPRES_USER_BREAK"};
  return reason >= 0 && reason < 3 ? kNames[reason] : "reason " + std::to_string(reason);
}

void endPluginStream(std::vector<PluginStream>::iterator stream, const std::string& how) {
  Loop& l = loop();
  fprintf(l.target.report, "host: the plug-in's stream (%s) to %s: %zu bytes, %s\n",
          stream->mime.c_str(), stream->target.c_str(), stream->bytes.size(), how.c_str());
  browser::functions()->memfree(stream->np);
  l.pluginStreams.erase(stream);
}

// The stream is over: its cache file (valid until NPP_DestroyStream) goes with it.
std::list<Stream>::iterator dropStream(std::list<Stream>::iterator stream) {
  if (!stream->cacheDirectory.empty()) removeTemporaryDirectory(stream->cacheDirectory);
  return loop().streams.erase(stream);
}

bool pending() {
  Loop& l = loop();
  if (!l.streams.empty() || !l.timers.empty()) return true;
  std::lock_guard<std::mutex> guard(l.lock);
  return !l.calls.empty();
}

// Runs the async calls posted so far; false when the end of a task failed.
bool runCalls() {
  Loop& l = loop();
  std::vector<AsyncCall> calls;
  {
    std::lock_guard<std::mutex> guard(l.lock);
    calls.swap(l.calls);
  }
  for (const AsyncCall& call : calls) {
    {
      PluginCall guard("a function posted with NPN_PluginThreadAsyncCall");
      call.call(call.data);
    }
    ++l.counts.asyncCallsRun;
    if (!l.taskEnd()) return false;
  }
  return true;
}

// Fires the timers that are due; false when a script timer failed.
bool fireTimers() {
  Loop& l = loop();
  ULONGLONG time = now();
  std::vector<long> due;
  for (const Timer& timer : l.timers) {
    if (timer.due <= time) due.push_back(timer.id);
  }
  for (long id : due) {
    auto timer =
        std::find_if(l.timers.begin(), l.timers.end(), [id](const Timer& t) { return t.id == id; });
    if (timer == l.timers.end()) continue;  // cleared by an earlier one
    Timer fired = *timer;
    if (fired.repeat) {
      timer->due = time + static_cast<ULONGLONG>(timer->interval);
    } else {
      dropTimer(timer);
    }
    bool ok = true;
    if (fired.script) {
      ++l.counts.scriptTimersFired;
      ok = l.timerCall(fired.id);
    } else {
      ++l.counts.pluginTimersFired;
      {
        PluginCall call("a timer function of NPN_ScheduleTimer");
        fired.fire(fired.instance, static_cast<uint32_t>(fired.id));
      }
      ok = l.taskEnd();
    }
    if (!ok) return false;
  }
  return true;
}

DWORD untilNextTimer() {
  ULONGLONG time = now();
  ULONGLONG next = ~0ULL;
  for (const Timer& timer : loop().timers) next = std::min(next, timer.due);
  if (next == ~0ULL) return INFINITE;
  return next <= time ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(next - time, 60000));
}

}  // namespace

void startLoop(const StreamTarget& target, const TimerCall& timerCall, const TaskEnd& taskEnd) {
  Loop& l = loop();
  l.target = target;
  l.timerCall = timerCall;
  l.taskEnd = taskEnd;
  l.thread = GetCurrentThreadId();
  l.counts = LoopCounts();
  if (l.wake == NULL) l.wake = CreateEventW(NULL, FALSE, FALSE, NULL);
}

long addScriptTimer(long delay, bool repeat) {
  return addTimer(Timer{0, 0, delay, repeat, true, NULL, NULL});
}

void removeScriptTimer(long id) {
  Loop& l = loop();
  auto timer = std::find_if(l.timers.begin(), l.timers.end(),
                            [id](const Timer& t) { return t.id == id && t.script; });
  if (timer != l.timers.end()) dropTimer(timer);
}

uint32_t schedulePluginTimer(NPP instance, uint32_t interval, bool repeat,
                             void (*fire)(NPP, uint32_t)) {
  long delay = interval > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<long>(interval);
  return static_cast<uint32_t>(addTimer(Timer{0, 0, delay, repeat, false, instance, fire}));
}

void unschedulePluginTimer(NPP instance, uint32_t id) {
  Loop& l = loop();
  auto timer = std::find_if(l.timers.begin(), l.timers.end(), [id, instance](const Timer& t) {
    return t.id == static_cast<long>(id) && !t.script && t.instance == instance;
  });
  if (timer != l.timers.end()) dropTimer(timer);
}

bool postAsyncCall(NPP instance, void (*call)(void*), void* data) {
  Loop& l = loop();
  {
    std::lock_guard<std::mutex> guard(l.lock);
    l.calls.push_back(AsyncCall{instance, call, data});
  }
  if (l.wake != NULL) SetEvent(l.wake);
  return true;
}

Stream newStream(NPP instance, const std::string& url) {
  Stream stream;
  stream.instance = instance;
  stream.url = url;
  stream.refused = false;
  stream.notify = false;
  stream.notifyData = NULL;
  stream.opened = false;
  stream.type = NP_NORMAL;
  stream.offset = 0;
  stream.stage = kStart;
  stream.reason = NPRES_DONE;
  return stream;
}

NPError requestUrl(const browser::UrlRequest& request) {
  Loop& l = loop();
  std::string url = resolveUrl(request.url, l.target.baseUrl);
  std::string scheme = browser::urlScheme(url);
  if (scheme.empty()) return NPERR_INVALID_URL;
  if (scheme == "file" && browser::urlScheme(l.target.baseUrl) != "file") {
    fprintf(l.target.report, "host: refused %s: a page on %s: may not load local files\n",
            url.c_str(), browser::urlScheme(l.target.baseUrl).c_str());
    return NPERR_GENERIC_ERROR;
  }
  if (request.post && request.dataIsFile &&
      GetFileAttributesW(widen(request.data).c_str()) == INVALID_FILE_ATTRIBUTES) {
    return NPERR_FILE_NOT_FOUND;
  }
  Stream stream = newStream(request.instance, request.url);
  stream.notify = request.notify;
  stream.notifyData = request.notifyData;
  if (scheme == "javascript") {
    stream.script = percentDecode(url.substr(11));
  } else if (scheme == "data") {
    if (!decodeDataUrl(url, &stream.mime, &stream.body)) return NPERR_INVALID_URL;
  } else if (scheme == "file") {
    std::wstring path = filePath(url);
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      stream.refused = true;  // as a browser reports a missing file: a network error
    } else {
      stream.body = readFileShared(path);
      stream.mime = mimeForFile(narrow(path));
      stream.fileName = narrow(path);
    }
  } else {
    stream.refused = true;  // no network here: what a browser answers offline
  }
  if (request.target != NULL) {
    // A window of the page would show it: nothing reaches the plug-in but the
    // notification (a javascript: URL still runs first).
    if (!request.notify && stream.script.empty()) return NPERR_NO_ERROR;
    stream.body.clear();
    stream.stage = kDone;
    if (!stream.refused && stream.script.empty()) {
      notifyDone(stream, NPRES_DONE);
      return NPERR_NO_ERROR;
    }
  }
  l.streams.push_back(stream);
  return NPERR_NO_ERROR;
}

void requestSource(NPP instance, const std::string& url, const std::wstring& path) {
  Stream stream = newStream(instance, url);
  if (path.empty()) {
    if (!decodeDataUrl(url, &stream.mime, &stream.body)) return;
  } else {
    stream.body = readFileShared(path);
    stream.mime = mimeForFile(narrow(path));
    stream.fileName = narrow(path);
  }
  // First of the instance's streams, whatever NPP_New asked for meanwhile.
  Loop& l = loop();
  auto before = std::find_if(l.streams.begin(), l.streams.end(),
                             [instance](const Stream& s) { return s.instance == instance; });
  l.streams.insert(before, stream);
}

NPError newPluginStream(NPP instance, NPMIMEType type, const char* target, NPStream** stream) {
  NPStream* np = static_cast<NPStream*>(browser::functions()->memalloc(sizeof(NPStream)));
  if (np == NULL) return NPERR_OUT_OF_MEMORY_ERROR;
  memset(np, 0, sizeof *np);
  loop().pluginStreams.push_back(PluginStream{instance, type != NULL ? type : "",
                                              target != NULL ? target : "(no target)",
                                              std::string(), np});
  *stream = np;
  return NPERR_NO_ERROR;
}

int32_t writePluginStream(NPP instance, NPStream* np, int32_t length, void* buffer) {
  auto stream = findPluginStream(instance, np);
  if (stream == loop().pluginStreams.end()) return -1;
  stream->bytes.append(static_cast<const char*>(buffer), static_cast<size_t>(length));
  return length;
}

NPError destroyStream(NPP instance, NPStream* np, NPReason reason) {
  auto mine = findPluginStream(instance, np);
  if (mine != loop().pluginStreams.end()) {
    endPluginStream(mine, reasonName(reason));
    return NPERR_NO_ERROR;
  }
  for (Stream& stream : loop().streams) {
    if (&stream.np == np && stream.instance == instance && stream.opened) {
      stream.reason = reason;
      stream.stage = kDone;
      return NPERR_NO_ERROR;
    }
  }
  return NPERR_INVALID_PARAM;
}

namespace {

// One turn: the calls posted so far, a step of each stream, the timers due; false for
// a failure.
bool turn() {
  Loop& l = loop();
  if (!runCalls()) return false;
  for (auto stream = l.streams.begin(); stream != l.streams.end();) {
    if (stepStream(*stream)) {
      ++stream;
    } else {
      stream = dropStream(stream);
    }
  }
  return l.taskEnd() && fireTimers();
}

void pumpMessages() {
  MSG message;
  while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace

bool runLoop(unsigned long seconds, bool* cut) {
  Loop& l = loop();
  *cut = false;
  ULONGLONG end = seconds > 0 ? now() + seconds * 1000ULL : ~0ULL;
  while (pending() && l.interrupted == 0) {
    if (now() >= end) {
      *cut = true;
      break;
    }
    if (!turn()) return false;
    if (!pending()) break;
    DWORD wait = l.streams.empty() ? untilNextTimer() : 0;
    if (end != ~0ULL) wait = static_cast<DWORD>(std::min<ULONGLONG>(wait, end > now() ? end - now() : 0));
    MsgWaitForMultipleObjects(1, &l.wake, FALSE, wait, QS_ALLINPUT);
    pumpMessages();
  }
  return l.interrupted == 0;
}

DWORD runLoopTurn() {
  pumpMessages();
  if (pending()) turn();
  if (!pending()) return INFINITE;
  Loop& l = loop();
  std::lock_guard<std::mutex> guard(l.lock);
  return l.streams.empty() && l.calls.empty() ? untilNextTimer() : 0;
}

void interruptLoop() {
  Loop& l = loop();
  InterlockedExchange(&l.interrupted, 1);
  if (l.wake != NULL) SetEvent(l.wake);
}

void stopLoop(NPP instance) {
  Loop& l = loop();
  for (auto stream = l.streams.begin(); stream != l.streams.end();) {
    if (stream->instance != instance) {
      ++stream;
      continue;
    }
    if (stream->opened && l.target.funcs->destroystream != NULL) {
      PluginCall call("NPP_DestroyStream");
      l.target.funcs->destroystream(instance, &stream->np, NPRES_USER_BREAK);
    }
    notifyDone(*stream, NPRES_USER_BREAK);
    stream = dropStream(stream);
  }
  for (size_t i = l.timers.size(); i > 0; --i) {
    if (l.timers[i - 1].instance == instance || l.timers[i - 1].script) {
      dropTimer(l.timers.begin() + static_cast<long>(i - 1));
    }
  }
  std::lock_guard<std::mutex> guard(l.lock);
  l.calls.erase(std::remove_if(l.calls.begin(), l.calls.end(),
                               [instance](const AsyncCall& c) { return c.instance == instance; }),
                l.calls.end());
}

void endPluginStreams(NPP instance) {
  std::vector<PluginStream>& streams = loop().pluginStreams;
  for (size_t i = 0; i < streams.size();) {
    if (streams[i].instance != instance) {
      ++i;
      continue;
    }
    endPluginStream(streams.begin() + static_cast<long>(i),
                    "left open, ended by the host with its instance");
  }
}

LoopCounts loopCounts() { return loop().counts; }

}  // namespace host
