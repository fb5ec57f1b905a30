# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (packages
# g++-mingw-w64-x86-64-posix and mingw-w64). The posix thread model gives
# the standard library its threads and mutexes.
#
# Programs and DLLs link the compiler's runtime statically, so they run on
# any Windows, and under Wine, with no MinGW DLL beside them. When Wine is
# installed, ctest runs the test programs under it (see wine-run).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RELAYPANEL_MINGW_TRIPLE x86_64-w64-mingw32)
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

find_program(RELAYPANEL_WINE NAMES wine wine64 wine-stable)
if(RELAYPANEL_WINE)
  # The Wine prefix lives in the build tree, created on the first run.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run ${RELAYPANEL_WINE}
                                    ${CMAKE_BINARY_DIR}/wine-prefix)
endif()
