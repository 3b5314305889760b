# Runs one scenario: SCSIM on SCRIPT (with --image IMAGE when IMAGE is
# given); standard output compared with EXPECTED.out (EXPECTED.lp64.out for
# a 64-bit scsim, LP64, where that exists), standard error with EXPECTED.err
# when that exists (else it must be empty), and the exit status with EXIT,
# or with the script's "# exit: N" first line when EXIT is not given.
# ACTUAL.out and ACTUAL.err keep what this run printed, for a look after a
# failure.
get_filename_component(name ${EXPECTED} NAME)

if(NOT DEFINED EXIT)
  file(STRINGS ${SCRIPT} first LIMIT_COUNT 1)
  if(NOT first MATCHES "^# exit: ([0-9]+)$")
    message(FATAL_ERROR "${SCRIPT}: the first line must be '# exit: N'")
  endif()
  set(EXIT ${CMAKE_MATCH_1})
endif()

set(image_args "")
if(DEFINED IMAGE)
  set(image_args --image ${IMAGE})
endif()
set(expected_out ${EXPECTED}.out)
if(LP64 AND EXISTS ${EXPECTED}.lp64.out)
  set(expected_out ${EXPECTED}.lp64.out)
endif()

execute_process(
  COMMAND ${SCSIM} ${image_args} ${SCRIPT}
  OUTPUT_FILE ${ACTUAL}.out
  ERROR_FILE ${ACTUAL}.err
  RESULT_VARIABLE exit_status)

set(failed FALSE)
if(NOT exit_status STREQUAL EXIT)
  message(SEND_ERROR "${name}: exit status ${exit_status}, expected ${EXIT}")
  set(failed TRUE)
endif()

function(compare kind expected actual)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${expected} ${actual} RESULT_VARIABLE different)
  if(different)
    execute_process(COMMAND diff -u ${expected} ${actual} OUTPUT_VARIABLE delta)
    message(SEND_ERROR "${name}: ${kind} differs from ${expected}:\n${delta}")
    set(failed TRUE PARENT_SCOPE)
  endif()
endfunction()

compare("standard output" ${expected_out} ${ACTUAL}.out)
if(EXISTS ${EXPECTED}.err)
  compare("standard error" ${EXPECTED}.err ${ACTUAL}.err)
else()
  file(READ ${ACTUAL}.err errors)
  if(NOT errors STREQUAL "")
    message(SEND_ERROR "${name}: unexpected standard error:\n${errors}")
    set(failed TRUE)
  endif()
endif()
if(failed)
  message(FATAL_ERROR "${name}: failed")
endif()
