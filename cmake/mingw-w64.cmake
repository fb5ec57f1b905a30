# The part of the MinGW-w64 cross builds that both widths share; included by
# mingw-w64-i686.cmake and mingw-w64-x86_64.cmake after they name the target
# (RELAYPANEL_MINGW_TRIPLE, CMAKE_SYSTEM_PROCESSOR) and the Wine loader that
# runs its programs (RELAYPANEL_WINE_LOADER, RELAYPANEL_WINE_ARCH). Debian's compilers come from
# g++-mingw-w64-<width>-posix and mingw-w64; the posix thread model gives the
# standard library its threads and mutexes.
#
# Programs and DLLs link the compiler's runtime statically, so they run on
# any Windows, and under Wine, with no MinGW DLL beside them. When Wine is
# installed, ctest runs the test programs under it (see wine-run).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${RELAYPANEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RELAYPANEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${RELAYPANEL_MINGW_TRIPLE}-windres)

# Headers, libraries and packages come from the target's tree only; build
# tools from the machine that builds.
set(CMAKE_FIND_ROOT_PATH /usr/${RELAYPANEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)

# Debian keeps both loaders in /usr/lib/wine, off the search path.
find_program(RELAYPANEL_WINE NAMES ${RELAYPANEL_WINE_LOADER} HINTS /usr/lib/wine)
if(RELAYPANEL_WINE)
  # The Wine prefix lives in the build tree, created on the first run.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run ${RELAYPANEL_WINE} ${RELAYPANEL_WINE_ARCH}
                                    ${CMAKE_BINARY_DIR}/wine-prefix)
endif()
