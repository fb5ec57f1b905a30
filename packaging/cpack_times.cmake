# Read by cpack before it makes each package. Its archive writer gives every
# entry of the .deb and the ZIP the time SOURCE_DATE_EPOCH names; where the
# environment names none, the time the build was configured with (the last
# commit's) is used.
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "" AND NOT CPACK_RELAYPANEL_SOURCE_DATE_EPOCH STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_RELAYPANEL_SOURCE_DATE_EPOCH}")
endif()
