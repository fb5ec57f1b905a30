# Run by cpack once it has staged the Windows ZIP's files
# (CPACK_PRE_BUILD_SCRIPTS): strips the programs there of their symbols. It
# keeps each PE header as the linker wrote it, with no time stamp, where a
# plain strip would write the time of the packing into it.
file(GLOB_RECURSE programs LIST_DIRECTORIES false ${CPACK_TEMPORARY_DIRECTORY}/*.exe ${CPACK_TEMPORARY_DIRECTORY}/*.dll)
foreach(program IN LISTS programs)
  execute_process(COMMAND ${CPACK_RELAYPANEL_STRIP} --preserve-dates ${program} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "Could not strip ${program}")
  endif()
endforeach()
