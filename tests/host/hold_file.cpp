// Holds a file open without sharing, as another program may, until its standard input
// ends: the host's tests run a page that cannot be read this way. Says "held" once the
// file is open.
//   kelvra_hold_file.exe FILE
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == NULL || argc != 2) return 2;
  HANDLE held = CreateFileW(argv[1], GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (held == INVALID_HANDLE_VALUE) return 1;
  printf("held\n");
  fflush(stdout);
  while (getchar() != EOF) {
  }
  CloseHandle(held);
  return 0;
}
