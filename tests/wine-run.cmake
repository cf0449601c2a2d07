# Runs one Windows test program under Wine and prints its QtTest log. What such a program
# writes to its standard output does not reach CTest through Wine, so the log goes to a file
# that is printed here; the exit code is the program's.
#   cmake -DWINE=… -DPROGRAM=… -DLOG=… [-DARGS=a;b] -P wine-run.cmake

function(run_program)
  file(REMOVE ${LOG})
  execute_process(COMMAND ${WINE} ${PROGRAM} ${ARGS} -o Z:${LOG},txt RESULT_VARIABLE result)
  set(result ${result} PARENT_SCOPE)
endfunction()

run_program()
# QtTest opens its log before the first test, so a failure without one is Wine failing to
# start the program (seen rarely, in a few hundredths of a second): worth a second try,
# which cannot hide a failing test.
if(NOT result EQUAL 0 AND NOT EXISTS ${LOG})
  message("Wine did not start ${PROGRAM} (${result}); starting it once more")
  run_program()
endif()
if(EXISTS ${LOG})
  file(READ ${LOG} log)
  message("${log}")
endif()
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} ended with ${result}")
endif()
