# Runs PROGRAM under the leak checker with SUPPRESSIONS and passes only when
# the run fails and its report names every planted leak: "SIZE:FUNCTION" in
# EXPECTED, each block of SIZE bytes with FUNCTION on its allocation stack.
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env
    "LSAN_OPTIONS=suppressions=${SUPPRESSIONS}:print_suppressions=0"
    "ASAN_OPTIONS=detect_leaks=1"
    ${PROGRAM}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(result EQUAL 0)
  message(FATAL_ERROR "the planted leaks went unreported (exit 0):\n${output}")
endif()
foreach(expected IN LISTS EXPECTED)
  string(REPLACE ":" ";" parts "${expected}")
  list(GET parts 0 bytes)
  list(GET parts 1 function)
  # The report's block for this size: its header and its stack lines.
  string(REGEX MATCH "leak of ${bytes} byte\\(s\\) in 1 object\\(s\\) allocated from:\n(    #[^\n]*\n)+"
         block "${output}")
  if(NOT block MATCHES "${function}")
    message(FATAL_ERROR "no report of the ${bytes}-byte leak in ${function}:\n${output}")
  endif()
endforeach()
message(STATUS "every planted leak reported")
