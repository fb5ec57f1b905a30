# The Windows package: one ZIP per width, relaypanel-<version>-win32.zip or
# relaypanel-<version>-win64.zip, with relaypanel.exe, relayctl.exe and
# README.txt, which tells where the driver library comes from and how
# relayctl is used. cpack in the build folder (or
# tools/package-windows) makes it.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(RELAYPANEL_WINDOWS_WIDTH 64-bit)
  set(system_name win64)
else()
  set(RELAYPANEL_WINDOWS_WIDTH 32-bit)
  set(system_name win32)
endif()

if(TARGET relaypanel)
  install(TARGETS relaypanel RUNTIME DESTINATION .)
endif()
install(TARGETS relayctl RUNTIME DESTINATION .)
# Windows line ends, for Notepad on older Windows.
configure_file(windows/README.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME relaypanel)
set(CPACK_PACKAGE_VENDOR "Relay panel maintainers")
# CPack names MinGW's 64-bit builds win32 too; the name says the width.
set(CPACK_SYSTEM_NAME ${system_name})
set(CPACK_PACKAGE_FILE_NAME relaypanel-${PROJECT_VERSION}-${system_name})
set(CPACK_STRIP_FILES ON)
include(CPack)
