# cmake -D REPORTS=DIR [-D CLEAR=1] -P tsan_reports.cmake: with CLEAR, makes
# DIR anew and empty; without, fails if ThreadSanitizer wrote a report into
# it, and prints each one.
if(CLEAR)
  file(REMOVE_RECURSE "${REPORTS}")
  file(MAKE_DIRECTORY "${REPORTS}")
  return()
endif()
file(GLOB _reports "${REPORTS}/*")
if(NOT _reports)
  return()
endif()
foreach(_report IN LISTS _reports)
  file(READ "${_report}" _text)
  message("==== ${_report}\n${_text}")
endforeach()
list(LENGTH _reports _count)
message(FATAL_ERROR "ThreadSanitizer reported in ${_count} process(es), in ${REPORTS}")
