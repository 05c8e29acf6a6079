#include "channel.h"

#include <stdio.h>

namespace host {
namespace {

// A frame longer than this is no message of the protocol: the page is broken.
const uint32_t kLongestFrame = 256u << 20;

bool readAll(HANDLE in, void* buffer, DWORD length) {
  char* at = static_cast<char*>(buffer);
  while (length > 0) {
    DWORD got = 0;
    if (!ReadFile(in, at, length, &got, NULL) || got == 0) return false;
    at += got;
    length -= got;
  }
  return true;
}

bool writeAll(HANDLE out, const char* bytes, DWORD length) {
  while (length > 0) {
    DWORD put = 0;
    if (!WriteFile(out, bytes, length, &put, NULL) || put == 0) return false;
    bytes += put;
    length -= put;
  }
  return true;
}

}  // namespace

Channel::Channel(HANDLE in, HANDLE out, Serve serve, std::function<void()> answered)
    : in_(in), out_(out), serve_(serve), answered_(answered) {}

Channel::~Channel() {
  CloseHandle(in_);
  CloseHandle(out_);
}

bool Channel::send(const std::string& body) {
  if (!open_) return false;
  // What this process wrote before the message comes before what the page writes
  // after it.
  fflush(stdout);
  fflush(stderr);
  uint32_t length = static_cast<uint32_t>(body.size());
  open_ = writeAll(out_, reinterpret_cast<const char*>(&length), 4) &&
          writeAll(out_, body.data(), length);
  return open_;
}

bool Channel::receive(std::string* body) {
  uint32_t length = 0;
  open_ = open_ && readAll(in_, &length, 4) && length > 0 && length <= kLongestFrame;
  if (!open_) return false;
  body->resize(length);
  open_ = readAll(in_, &(*body)[0], length);
  return open_;
}

bool Channel::post(const wire::Writer& message) { return send(message.bytes()); }

void Channel::answer(const std::string& body) {
  wire::Reader request(body);
  uint8_t kind = request.u8();
  uint8_t op = request.u8();
  wire::Writer reply(wire::kAnswer);
  serve_(op, request, reply);
  if (kind == wire::kNotice) return;  // served; it wants no answer
  send(reply.bytes());
  answered_();
}

bool Channel::request(const wire::Writer& message, std::string* answer) {
  if (!send(message.bytes())) return false;
  std::string body;
  while (receive(&body)) {
    if (static_cast<uint8_t>(body[0]) == wire::kAnswer) {
      answer->swap(body);
      return true;
    }
    uint8_t kind = static_cast<uint8_t>(body[0]);
    if (kind == wire::kRequest || kind == wire::kNotice) this->answer(body);
  }
  return false;
}

void Channel::serve() {
  std::string body;
  while (!stopped_ && receive(&body)) {
    uint8_t kind = static_cast<uint8_t>(body[0]);
    if (kind == wire::kRequest || kind == wire::kNotice) answer(body);
  }
}

}  // namespace host
