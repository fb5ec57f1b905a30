# Runs a small ctest project whose tests go through wine-run, marked as the
# Windows tests are, once with a loader this machine cannot execute (an ELF
# file for no real processor) and once with a loader that starts and fails.
# ctest must count the first as skipped, with wine-run's reason, and the
# second as failed: only a loader that cannot run at all skips a test.
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

file(WRITE ${WORK_DIR}/project/CMakeLists.txt "
cmake_minimum_required(VERSION 3.25)
project(wine_run_check NONE)
enable_testing()
include(${SOURCE_DIR}/cmake/wine-tests.cmake)
foreach(loader unrunnable broken)
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
if(NOT report MATCHES "Test +#[0-9]+: broken [.]+\\*+Failed")
  list(APPEND problems "the broken loader's test is not reported as failed")
endif()
if(report MATCHES "Passed")
  list(APPEND problems "a test is reported as passed")
endif()
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "ctest's report of wine-run's tests is wrong:\n  ${text}\nctest said:\n${report}")
endif()
message(STATUS "skipped with its reason: the unrunnable loader; failed: the broken one")
