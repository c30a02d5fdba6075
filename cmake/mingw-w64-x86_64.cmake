# Cross-building for 64-bit Windows with Debian's mingw-w64 compilers, and running
# what was built (tests, test discovery) under Wine.
#
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DBROLIX_WIN32_DEPS=<prefix holding the Windows builds of GoogleTest and TinyXML>
#
# scripts/test win32 does all of this, dependencies and Wine prefix included.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The -posix compilers: the plain names use the win32 thread model, which has no
# std::mutex, std::thread or std::recursive_mutex.
set(BROLIX_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${BROLIX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BROLIX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${BROLIX_MINGW_TRIPLET}-windres)

# The dependencies built for Windows live outside the source tree; the setting is
# handed on to the compiler checks that CMake runs in projects of their own.
set(BROLIX_WIN32_DEPS "" CACHE PATH "Prefix with the Windows builds of GoogleTest and TinyXML")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BROLIX_WIN32_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${BROLIX_MINGW_TRIPLET})
if(BROLIX_WIN32_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${BROLIX_WIN32_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained programs: the C++ runtime, the thread library and zlib are linked
# in. A program that misses a DLL under Wine ends with status 53 and no message.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Debian's wine64 puts no "wine" on PATH; its loader runs every test binary.
find_program(BROLIX_WINE_LOADER NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT BROLIX_WINE_LOADER)
  find_program(BROLIX_WINE_LOADER NAMES wine64 wine)
endif()
if(BROLIX_WINE_LOADER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BROLIX_WINE_LOADER})
endif()
