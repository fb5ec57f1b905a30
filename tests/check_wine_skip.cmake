# Runs a small ctest project whose tests go through wine-run, marked as the
# Windows tests are, with four loaders: one this machine cannot execute (an
# ELF file for no real processor), one that starts and fails, one that is not
# executable at all (the shell's status 126 as well, but for a broken set-up),
# and a sound one whose program exits with 77. ctest must count the first as
# skipped, with wine-run's reason, and the others as failed: only a loader
# that this kernel cannot run skips a test, and a program's own 77 is a failure.
#   cmake -DSOURCE_DIR=<project> -DWORK_DIR=<scratch folder> -P check_wine_skip.cmake
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/project)

# An ELF header naming machine 0xBEEF: the kernel refuses it with ENOEXEC.
execute_process(COMMAND sh -c [[
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\357\276' >unrunnable-wine &&
head -c 64 /dev/zero >>unrunnable-wine && chmod +x unrunnable-wine]]
  WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not make the unrunnable loader")
endif()
# A loader that runs but fails, as a broken Wine would.
file(WRITE ${WORK_DIR}/broken-wine "#!/bin/sh\necho 'broken wine' >&2\nexit 1\n")
file(CHMOD ${WORK_DIR}/broken-wine PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
# A loader without execute permission: "Permission denied", status 126.
file(WRITE ${WORK_DIR}/unexecutable-wine "#!/bin/sh\nexit 0\n")
file(CHMOD ${WORK_DIR}/unexecutable-wine PERMISSIONS OWNER_READ OWNER_WRITE)
# A loader that makes its prefix and runs the program, which exits with 77.
file(WRITE ${WORK_DIR}/exits77-wine "#!/bin/sh\ncase $1 in --version|wineboot|reg) exit 0 ;; esac\nexit 77\n")
file(CHMOD ${WORK_DIR}/exits77-wine PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

file(WRITE ${WORK_DIR}/project/CMakeLists.txt "
cmake_minimum_required(VERSION 3.25)
project(wine_run_check NONE)
enable_testing()
include(${SOURCE_DIR}/cmake/wine-tests.cmake)
foreach(loader unrunnable broken unexecutable exits77)
  add_test(NAME \${loader} COMMAND ${SOURCE_DIR}/cmake/wine-run ${WORK_DIR}/\${loader}-wine win32
                                   ${WORK_DIR}/prefix-\${loader} program.exe)
endforeach()
relaypanel_mark_wine_tests()
")
execute_process(COMMAND ${CMAKE_COMMAND} -S ${WORK_DIR}/project -B ${WORK_DIR}/build OUTPUT_QUIET
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not configure the check project")
endif()
execute_process(COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${WORK_DIR}/build OUTPUT_VARIABLE report
                ERROR_VARIABLE report)
file(READ ${WORK_DIR}/build/Testing/Temporary/LastTest.log log)

set(problems)
if(NOT report MATCHES "Test +#[0-9]+: unrunnable [.]+\\*+Skipped")
  list(APPEND problems "the unrunnable loader's test is not reported as skipped")
endif()
if(NOT log MATCHES "wine-run: not run: this machine cannot run 32-bit programs")
  list(APPEND problems "the skipped test does not give the reason")
endif()
foreach(loader broken unexecutable exits77)
  if(NOT report MATCHES "Test +#[0-9]+: ${loader} [.]+\\*+Failed")
    list(APPEND problems "the ${loader} loader's test is not reported as failed")
  endif()
endforeach()
if(report MATCHES "Passed")
  list(APPEND problems "a test is reported as passed")
endif()
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "ctest's report of wine-run's tests is wrong:\n  ${text}\nctest said:\n${report}")
endif()
message(STATUS "skipped with its reason: the unrunnable loader; failed: the broken, unexecutable and exits77 ones")
