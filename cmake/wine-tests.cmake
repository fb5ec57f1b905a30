# Tests of a Windows build run under Wine through wine-run, which exits 77
# when this machine cannot run the Wine loader of the build's width. A folder
# whose tests run under Wine calls relaypanel_mark_wine_tests() once,
# anywhere: at the end of the folder, every test it added gets 77 as its skip
# status, so ctest counts it as not run, never as passed. wine-run never lets
# a program's own 77 through.
function(relaypanel_skip_status_for_folder_tests)
  get_property(tests DIRECTORY PROPERTY TESTS)
  if(tests)
    set_tests_properties(${tests} PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endfunction()

macro(relaypanel_mark_wine_tests)
  cmake_language(DEFER CALL relaypanel_skip_status_for_folder_tests)
endmacro()
