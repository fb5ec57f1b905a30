# The Windows packages of one width: a ZIP for a portable copy,
# relaypanel-<version>-win32.zip or relaypanel-<version>-win64.zip, with
# relaypanel.exe, relayctl.exe and README.txt, which tells where the driver
# library comes from and how relayctl is used; cpack in the build folder
# makes it. And a Windows Installer package of the same files,
# relaypanel-<version>-win32.msi or -win64.msi, built by wixl into the build
# folder as the target relaypanel_msi. tools/package-windows makes all four.
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
# The programs are stripped by strip_staged_programs.cmake, which keeps their
# PE headers as linked; the files are packed again in name order.
set(CPACK_STRIP_FILES OFF)
set(CPACK_RELAYPANEL_STRIP ${CMAKE_STRIP})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/windows/strip_staged_programs.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/windows/zip_in_name_order.cmake)
include(CPack)

# The Windows Installer package, from the one WiX source of both widths.
# wixl comes from Debian's package wixl; msiinfo, which reads the package
# back, from msitools.
find_program(RELAYPANEL_WIXL wixl)
find_program(RELAYPANEL_MSIINFO msiinfo)
# No mailbox or web site answers on this reserved domain; packagers set their own.
set(RELAYPANEL_HELP_LINK "https://relaypanel.invalid/" CACHE STRING
    "The help link that Windows' list of installed programs shows for the panel")

# Adds a target that builds the MSI package of this build's width for the
# given version into the given file: the programs stripped, and a README.txt
# that names that version.
#   relaypanel_add_msi(<target> VERSION <major.minor.patch> OUTPUT <file.msi>)
function(relaypanel_add_msi target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "VERSION;OUTPUT" "")
  set(stage ${CMAKE_CURRENT_BINARY_DIR}/${target})
  set(wxs ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/windows/relaypanel.wxs)
  set(icon ${PROJECT_SOURCE_DIR}/window/win32/relaypanel.ico)
  # Each width is a product of its own, with an UpgradeCode that never
  # changes: a package replaces an older installation of its width. The
  # product code is derived from it and the version, so it is the same for
  # every build of one version and width, and another for the next version.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(upgrade_code 7eced5c9-a1c6-4351-a484-6abd84ea9f59)
    set(wixl_options -a x64 -D Width=64)
    set(RELAYPANEL_WINDOWS_WIDTH 64-bit)
  else()
    set(upgrade_code a46cd6a5-d236-4412-b18d-f0bd7fe5f4a5)
    set(wixl_options -a x86 -D Width=32)
    set(RELAYPANEL_WINDOWS_WIDTH 32-bit)
  endif()
  string(UUID product_code NAMESPACE ${upgrade_code} NAME "product ${arg_VERSION}" TYPE SHA1)
  list(APPEND wixl_options -D UpgradeCode=${upgrade_code} -D ProductCode=${product_code})
  set(PROJECT_VERSION ${arg_VERSION})
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/windows/README.txt.in ${stage}/README.txt @ONLY
                 NEWLINE_STYLE CRLF)

  # wixl takes the files by plain name from the folder it runs in.
  set(programs relaypanel)
  if(TARGET relayctl)
    list(APPEND programs relayctl)
    list(APPEND wixl_options -D Relayctl=yes)
  endif()
  set(strip_commands)
  foreach(program IN LISTS programs)
    # --preserve-dates keeps the PE header's time stamp as linked (none).
    list(APPEND strip_commands COMMAND ${CMAKE_STRIP} --preserve-dates -o ${stage}/${program}.exe
         $<TARGET_FILE:${program}>)
  endforeach()
  list(APPEND wixl_options -D Version=${arg_VERSION} -D HelpLink=${RELAYPANEL_HELP_LINK})
  set(build_msi ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/windows/build_msi.cmake)
  add_custom_command(OUTPUT ${arg_OUTPUT}
                     ${strip_commands}
                     COMMAND ${CMAKE_COMMAND} -E copy ${icon} ${stage}/relaypanel.ico
                     COMMAND ${CMAKE_COMMAND} -D WIXL=${RELAYPANEL_WIXL} "-D WIXL_OPTIONS=${wixl_options}"
                             -D WXS=${wxs} -D OUTPUT=${arg_OUTPUT} -D MSIINFO=${RELAYPANEL_MSIINFO}
                             -D UPGRADE_CODE=${upgrade_code} -D EPOCH=${RELAYPANEL_SOURCE_DATE_EPOCH} -P ${build_msi}
                     WORKING_DIRECTORY ${stage}
                     DEPENDS ${programs} ${wxs} ${icon} ${stage}/README.txt ${build_msi}
                     COMMENT "Building the Windows Installer package ${arg_OUTPUT}"
                     VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${arg_OUTPUT})
endfunction()

if(TARGET relaypanel)
  if(RELAYPANEL_WIXL AND RELAYPANEL_MSIINFO)
    set(RELAYPANEL_MSI ${CMAKE_BINARY_DIR}/relaypanel-${PROJECT_VERSION}-${system_name}.msi CACHE INTERNAL
        "The Windows Installer package of this build")
    relaypanel_add_msi(relaypanel_msi VERSION ${PROJECT_VERSION} OUTPUT ${RELAYPANEL_MSI})
  else()
    message(STATUS "wixl or msiinfo not found (Debian packages wixl, msitools): no Windows Installer package")
  endif()
endif()
