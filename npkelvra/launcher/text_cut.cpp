#include "launcher/text_cut.h"

#include <string.h>

void cutText(const char* text, char* destination, size_t size) {
  if (size == 0) return;
  size_t length = strlen(text);
  if (length > size - 1) length = size - 1;
  memcpy(destination, text, length);
  destination[length] = '\0';
}
