# Fails when groff warns about any of PAGES (a list), formatted as man formats them for an
# 80-column terminal, with every warning on.
set(failures "")
foreach(page IN LISTS PAGES)
  execute_process(COMMAND ${GROFF} -k -t -man -Tutf8 -rLL=78n -ww -z ${page}
                  RESULT_VARIABLE status ERROR_VARIABLE warnings)
  if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
    string(APPEND failures "${page} (status ${status}):\n${warnings}")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
