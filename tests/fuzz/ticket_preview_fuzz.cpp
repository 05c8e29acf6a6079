// The ticket preview against its definition, decoded here code point by code point:
// none of a ticket of fewer than sixteen characters, else its first four, a control
// character or a byte that starts no well-formed UTF-8 sequence as '?', then
// "... (N bytes)" with the ticket's length in bytes.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "script/ticket_preview.h"

namespace {

// The length of the well-formed UTF-8 sequence at `text` and its code point, or 0.
size_t decode(const unsigned char* text, uint32_t* point) {
  if (text[0] < 0x80) {
    *point = text[0];
    return 1;
  }
  const size_t length = text[0] >= 0xF8 ? 0 : text[0] >= 0xF0 ? 4 : text[0] >= 0xE0 ? 3 : text[0] >= 0xC0 ? 2 : 0;
  if (length == 0) return 0;
  uint32_t value = text[0] & (0x7Fu >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((text[i] & 0xC0) != 0x80) return 0;  // a NUL ends it here too
    value = value << 6 | (text[i] & 0x3Fu);
  }
  static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kLeast[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *point = value;
  return length;
}

std::string reference(const std::string& ticket) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(ticket.c_str());
  size_t characters = 0;
  uint32_t point = 0;
  for (size_t at = 0; at < ticket.size(); ++characters) {
    const size_t length = decode(bytes + at, &point);
    at += length != 0 ? length : 1;
  }
  std::string shown;
  size_t at = 0;
  for (size_t i = 0; characters >= 16 && i < 4; ++i) {
    const size_t length = decode(bytes + at, &point);
    const bool control = point < 0x20 || point == 0x7F || (point >= 0x80 && point <= 0x9F);
    shown += length == 0 || control ? std::string("?") : ticket.substr(at, length);
    at += length != 0 ? length : 1;
  }
  return shown + "... (" + std::to_string(ticket.size()) + " bytes)";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const std::string ticket(text, strnlen(text, size));
  const TicketPreview preview = previewTicket(ticket.c_str());
  if (memchr(preview.text, '\0', sizeof preview.text) == NULL) abort();
  if (reference(ticket) != preview.text) abort();
  return 0;
}
