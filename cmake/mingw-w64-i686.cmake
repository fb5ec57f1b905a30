# Cross-builds for 32-bit Windows, the panel's home, with Debian's MinGW-w64
# (g++-mingw-w64-i686-posix); tests run under Wine's 32-bit loader, which
# Debian's wine32:i386 installs.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(RELAYPANEL_MINGW_TRIPLE i686-w64-mingw32)
set(RELAYPANEL_WINE_LOADER wine)
# A 32-bit prefix, like the 32-bit Windows the panel was made for: a 64-bit
# program or DLL that slipped into this build fails to start in it.
set(RELAYPANEL_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
