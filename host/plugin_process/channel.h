/*
 * The plug-in process's end of the page protocol (host/protocol/README.md): frames
 * over the two pipes the page handed over as standard input and output, the values
 * on the wire, and the synchronous, re-entrant round trip: a request waits for its
 * answer and serves the page's nested requests meanwhile, as Firefox's plug-in
 * channel did. The transport is two Win32 handles, so named pipes serve as well.
 */
#ifndef KELVRA_HOST_PLUGIN_PROCESS_CHANNEL_H
#define KELVRA_HOST_PLUGIN_PROCESS_CHANNEL_H

#include <windows.h>
#include <stdint.h>
#include <string.h>

#include <functional>
#include <string>

#include "protocol_ops.h"

namespace wire {

// A message being written: its kind first, then fields in order.
class Writer {
 public:
  explicit Writer(uint8_t kind) { u8(kind); }
  Writer(uint8_t kind, uint8_t op) {
    u8(kind);
    u8(op);
  }
  // Little-endian, as the x86 this runs on stores them.
  void u8(uint8_t value) { field(value); }
  void u32(uint32_t value) { field(value); }
  void i32(int32_t value) { field(value); }
  void f64(double value) { field(value); }
  void text(const std::string& value) {
    u32(static_cast<uint32_t>(value.size()));
    bytes_.append(value);
  }
  const std::string& bytes() const { return bytes_; }

 private:
  template <typename T>
  void field(T value) {
    bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  std::string bytes_;
};

// A message being read. A field past the end reads as zero and marks the message
// bad, so that a short message cannot make a read run past its bytes.
class Reader {
 public:
  explicit Reader(const std::string& body) : body_(body) {}
  uint8_t u8() { return field<uint8_t>(); }
  uint32_t u32() { return field<uint32_t>(); }
  int32_t i32() { return field<int32_t>(); }
  double f64() { return field<double>(); }
  std::string text() {
    uint32_t length = u32();
    if (length > body_.size() - at_) {
      ok_ = false;
      return std::string();
    }
    std::string value = body_.substr(at_, length);
    at_ += length;
    return value;
  }
  bool ok() const { return ok_; }

 private:
  template <typename T>
  T field() {
    T value = T();
    if (sizeof(T) > body_.size() - at_) {
      ok_ = false;
      return value;
    }
    memcpy(&value, body_.data() + at_, sizeof(T));
    at_ += sizeof(T);
    return value;
  }
  const std::string& body_;
  size_t at_ = 0;
  bool ok_ = true;
};

}  // namespace wire

namespace host {

// Serves one request of the page: reads its fields after the op, writes the answer's.
typedef std::function<void(uint8_t op, wire::Reader& request, wire::Writer& answer)> Serve;

class Channel {
 public:
  // Takes the handles; `serve` answers the page's requests, and `answered` runs after
  // each answer is sent.
  Channel(HANDLE in, HANDLE out, Serve serve, std::function<void()> answered);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // A message of no answer (hello, output, a notice).
  bool post(const wire::Writer& message);
  // Sends a request and serves the page's requests until its answer, which lands in
  // `answer`; false once the page is gone.
  bool request(const wire::Writer& message, std::string* answer);
  // Serves the page's requests until it is gone or stop() was called in one.
  void serve();
  void stop() { stopped_ = true; }
  bool open() const { return open_; }

 private:
  bool send(const std::string& body);
  bool receive(std::string* body);
  // One request of the page, answered.
  void answer(const std::string& body);

  HANDLE in_, out_;
  Serve serve_;
  std::function<void()> answered_;
  bool open_ = true;
  bool stopped_ = false;
};

}  // namespace host

#endif
