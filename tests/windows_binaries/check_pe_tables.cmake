# Reads the import and export tables of Windows programs and DLLs with
# objdump -p and fails when
#   - a DLL in DRIVERS lacks one of the nine driver functions (the panel's five
#     and relayctl's four) under its plain name, or exports a decorated one
#     (_FT_Open@8, FT_Open@8): the programs, and every program written for the
#     vendor's DLL, look them up undecorated;
#   - any file in DRIVERS or PROGRAMS imports a DLL that is not Windows' own
#     (libstdc++, libgcc, winpthread): the program must run from its folder
#     alone;
#   - a program in PROGRAMS does not import SetDllDirectoryW: then it never
#     takes the working folder out of its DLL search.
# cmake -DOBJDUMP=... -DDRIVERS=a.dll;... -DPROGRAMS=b.exe;... -P check_pe_tables.cmake
cmake_minimum_required(VERSION 3.25)

set(driver_functions FT_Open FT_SetBaudRate FT_SetBitMode FT_Write FT_Close FT_GetBitMode FT_CreateDeviceInfoList
                     FT_GetDeviceInfoDetail FT_OpenEx)
# Lower case; the API sets (api-ms-win-*) are matched by their prefix.
set(system_dlls kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll advapi32.dll shell32.dll
                shlwapi.dll ole32.dll oleaut32.dll uxtheme.dll dwmapi.dll shcore.dll version.dll imm32.dll
                msvcrt.dll ucrtbase.dll)

set(faults)
foreach(file IN LISTS DRIVERS PROGRAMS)
  if(NOT EXISTS "${file}")
    list(APPEND faults "${file} does not exist")
    continue()
  endif()
  execute_process(COMMAND "${OBJDUMP}" -p "${file}" OUTPUT_VARIABLE table COMMAND_ERROR_IS_FATAL ANY)
  get_filename_component(name "${file}" NAME)

  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${table}")
  if(NOT imports)
    list(APPEND faults "${name} imports nothing: not a program objdump could read")
  endif()
  foreach(import IN LISTS imports)
    string(REPLACE "DLL Name: " "" dll "${import}")
    string(TOLOWER "${dll}" dll)
    if(NOT dll IN_LIST system_dlls AND NOT dll MATCHES "^api-ms-win-")
      list(APPEND faults "${name} imports ${dll}, which is not one of Windows' own DLLs")
    endif()
  endforeach()

  if(NOT file IN_LIST DRIVERS)
    if(NOT table MATCHES "[ \t]SetDllDirectoryW\n")
      list(APPEND faults "${name} does not take the working folder out of its DLL search (no SetDllDirectoryW)")
    endif()
    continue()
  endif()
  # The export name table: lines "[   n] name" after its heading.
  string(REGEX REPLACE ".*\\[Ordinal/Name Pointer\\] Table\n" "" names "${table}")
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" names "${names}")
  list(TRANSFORM names REPLACE "^\\[ *[0-9]+\\] " "")
  foreach(function IN LISTS driver_functions)
    if(NOT function IN_LIST names)
      list(APPEND faults "${name} does not export ${function} under that name")
    endif()
  endforeach()
  foreach(export IN LISTS names)
    if(export MATCHES "@")
      list(APPEND faults "${name} exports the decorated name ${export}")
    endif()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "  ${text}")
endif()
message(STATUS "Exports and imports as they should be: ${DRIVERS} ${PROGRAMS}")
