# Read by cpack as it builds the package. Every time in the package (of its
# files and of its own members) is the last commit's, so that two builds of
# one commit give the same bytes; SOURCE_DATE_EPOCH, when set, decides.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_VELMORA_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE velmora_commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE velmora_git_status ERROR_QUIET)
  if(velmora_git_status EQUAL 0 AND velmora_commit_time MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} "${velmora_commit_time}")
  else()
    message(WARNING "No git history in ${CPACK_VELMORA_SOURCE_DIR} and no SOURCE_DATE_EPOCH: "
                    "the package's times are this build's")
  endif()
endif()
