# Run by cpack once it has made the Windows ZIP (CPACK_POST_BUILD_SCRIPTS):
# makes the ZIP again from the same staged files, one entry a file, in the
# order of their names, where cpack takes the order in which the file system
# lists them. Each entry's time is the one SOURCE_DATE_EPOCH names (see
# cpack_times.cmake); the ZIP's DOS times are local times, so they are
# written in UTC, whatever the builder's time zone.
if(NOT CPACK_INCLUDE_TOPLEVEL_DIRECTORY)
  message(FATAL_ERROR "zip_in_name_order.cmake packs the files below one top folder")
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.zip$")
    continue()
  endif()
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${CPACK_TOPLEVEL_DIRECTORY}
       ${CPACK_TEMPORARY_DIRECTORY}/*)
  list(SORT files)
  file(REMOVE ${package})
  set(ENV{TZ} UTC)
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${package} --format=zip -- ${files}
                  WORKING_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "Could not pack ${package} again in the order of the names")
  endif()
endforeach()
