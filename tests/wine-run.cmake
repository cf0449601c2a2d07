# Runs one Windows test program under Wine and prints its QtTest log. What such a program
# writes to its standard output does not reach CTest through Wine, so the log goes to a file
# that is printed here; the exit code is the program's.
#   cmake -DWINE=… -DPROGRAM=… -DLOG=… [-DARGS=a;b] -P wine-run.cmake

file(REMOVE ${LOG})
execute_process(COMMAND ${WINE} ${PROGRAM} ${ARGS} -o Z:${LOG},txt RESULT_VARIABLE result)
if(EXISTS ${LOG})
  file(READ ${LOG} log)
  message("${log}")
endif()
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} ended with ${result}")
endif()
