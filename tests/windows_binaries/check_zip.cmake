# Packs the build with CPack and fails unless the ZIP has the expected name
# and holds exactly README.txt, with Windows line ends, relayctl.exe and, when
# the window is built, relaypanel.exe, each program importing only Windows'
# own DLLs.
# cmake -DCPACK=... -DBUILD_DIR=... -DNAME=relaypanel-1.0.0-win32 -DPROGRAM=ON|OFF
#       -DOBJDUMP=... -DCHECK_PE_TABLES=check_pe_tables.cmake -P check_zip.cmake
cmake_minimum_required(VERSION 3.25)

set(out ${BUILD_DIR}/zip-test)
file(REMOVE_RECURSE ${out})
execute_process(COMMAND ${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -B ${out} OUTPUT_VARIABLE log
                RESULT_VARIABLE failed)
if(failed OR NOT EXISTS ${out}/${NAME}.zip)
  file(GLOB made ${out}/*.zip)
  message(FATAL_ERROR "cpack made no ${NAME}.zip (made: ${made})\n${log}")
endif()

file(ARCHIVE_EXTRACT INPUT ${out}/${NAME}.zip DESTINATION ${out}/unpacked)
file(GLOB_RECURSE held RELATIVE ${out}/unpacked ${out}/unpacked/*)
set(expected ${NAME}/README.txt ${NAME}/relayctl.exe)
set(programs ${out}/unpacked/${NAME}/relayctl.exe)
if(PROGRAM)
  list(APPEND expected ${NAME}/relaypanel.exe)
  list(APPEND programs ${out}/unpacked/${NAME}/relaypanel.exe)
endif()
list(SORT held)
list(SORT expected)
if(NOT held STREQUAL expected)
  message(FATAL_ERROR "${NAME}.zip holds '${held}', not '${expected}'")
endif()

# In hexadecimal, two digits a byte, since file(READ) drops carriage returns:
# some CR LF, and no LF without a CR before it.
file(READ ${out}/unpacked/${NAME}/README.txt bytes HEX)
if(NOT bytes MATCHES "^(..)*0d0a" OR bytes MATCHES "^0a" OR bytes MATCHES "^(..)*([^0].|.[^d])0a")
  message(FATAL_ERROR "README.txt does not have Windows line ends throughout")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${OBJDUMP} "-DPROGRAMS=${programs}" -P ${CHECK_PE_TABLES}
                COMMAND_ERROR_IS_FATAL ANY)
