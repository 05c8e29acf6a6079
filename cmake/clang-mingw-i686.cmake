# The second compiler: Debian's clang for 32-bit Windows, against the MinGW-w64
# headers and libraries and GCC's libstdc++ of the win32 thread model (the shipped
# DLL's), linked by GNU ld: lld writes the export table's ordinal base as 0, so the
# .def file's ordinals would come out one off. CI builds the module with it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(triple i686-w64-mingw32)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_SYSROOT /usr/${triple})

# clang does not find Debian's GCC folder for the target (its name carries the thread
# model, 12-win32), so its C++ headers and libraries are named here, and -B makes the
# link take GCC's crtbegin.o and crtend.o, which go with that runtime (MinGW-w64's
# own pair, found first otherwise, registers no unwind tables with libgcc's unwinder).
file(GLOB gcc_dirs LIST_DIRECTORIES true "/usr/lib/gcc/${triple}/*-win32")
list(SORT gcc_dirs COMPARE NATURAL ORDER DESCENDING)
list(GET gcc_dirs 0 gcc_dir)
set(cxx_headers "${gcc_dir}/include/c++")
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${cxx_headers} -isystem ${cxx_headers}/${triple} -isystem ${cxx_headers}/backward")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-static -fuse-ld=bfd -B${gcc_dir} -L${gcc_dir}")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
