# Cross-builds for 64-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-x86-64-posix); tests run under wine64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(RELAYPANEL_MINGW_TRIPLE x86_64-w64-mingw32)
# Debian's plain `wine` may start a 64-bit program in a process of its own,
# and the exit status it returns is then not the program's.
set(RELAYPANEL_WINE_LOADER wine64)
set(RELAYPANEL_WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
