// The text cut into a block of exactly the size given (so that a write past it shows):
// the text up to its NUL, cut to size - 1 bytes, then a NUL; nothing for size 0.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "launcher/text_cut.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const size_t room = input.ConsumeIntegralInRange<size_t>(0, 300);
  const std::string text = input.ConsumeRemainingBytesAsString();
  std::unique_ptr<char[]> block(new char[room + 1]);
  memset(block.get(), '#', room + 1);
  cutText(text.c_str(), block.get(), room);
  if (room == 0) {
    if (block[0] != '#') abort();
    return 0;
  }
  const size_t length = strlen(text.c_str());
  const size_t kept = length < room - 1 ? length : room - 1;
  if (memcmp(block.get(), text.c_str(), kept) != 0 || block[kept] != '\0') abort();
  // Not a byte beyond the room.
  if (block[room] != '#') abort();
  return 0;
}
