# The shipped DLL's toolchain: MinGW-w64 with the win32 thread model. The posix model's
# runtime (winpthread, linked statically) would install a process-wide vectored
# exception handler and TLS callbacks in the browser and import SuspendThread; the
# module itself starts no thread and needs none of it.
set(KELVRA_MINGW_THREADS win32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake")
