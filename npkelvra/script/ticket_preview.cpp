#include "script/ticket_preview.h"

#include <stdio.h>
#include <string.h>

namespace {

const size_t kShortestShown = 16;   // characters
const size_t kShownCharacters = 4;  // of at least sixteen: never more than a quarter

// The length (1 to 4) of the well-formed UTF-8 sequence at `text`, or 0. Each byte is
// read only once the ones before it belong to the sequence, so the NUL is never passed.
size_t sequenceLength(const unsigned char* text) {
  const unsigned char lead = text[0];
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (text[1] < low || text[1] > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (text[i] < 0x80 || text[i] > 0xBF) return 0;
  }
  return length;
}

// C0 controls, DEL and C1 controls (U+0080 to U+009F).
bool isControl(const unsigned char* text, size_t length) {
  if (length == 1) return text[0] < 0x20 || text[0] == 0x7F;
  return length == 2 && text[0] == 0xC2 && text[1] < 0xA0;
}

}  // namespace

TicketPreview previewTicket(const char* ticket) {
  const unsigned char* const bytes = reinterpret_cast<const unsigned char*>(ticket);
  size_t characters = 0;
  for (size_t at = 0; bytes[at] != 0; ++characters) {
    const size_t length = sequenceLength(bytes + at);
    at += length != 0 ? length : 1;
  }

  TicketPreview preview;
  char* out = preview.text;
  const unsigned char* next = bytes;
  for (size_t shown = characters < kShortestShown ? 0 : kShownCharacters; shown > 0; --shown) {
    const size_t length = sequenceLength(next);
    if (length == 0 || isControl(next, length)) {
      *out++ = '?';
    } else {
      memcpy(out, next, length);
      out += length;
    }
    next += length != 0 ? length : 1;
  }
  const size_t room = sizeof preview.text - static_cast<size_t>(out - preview.text);
  snprintf(out, room, "... (%lu bytes)", static_cast<unsigned long>(strlen(ticket)));
  return preview;
}
