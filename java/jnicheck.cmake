# Runs a JVM on JniFaultMain (a native that leaks local references or makes
# an unchecked JNI call) and checks that the run's output matches the
# pattern that fails the JUnit runs: a VM warning that pattern missed would
# pass CI unseen. -DCOMMAND=<^^-list> -DPATTERN=<regex> -DMARK=<text>
# -DEXPECT=<the warning this fault must give>
string(REPLACE "^^" ";" COMMAND "${COMMAND}")
execute_process(COMMAND ${COMMAND} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
set(all "${out}${err}")
if(NOT all MATCHES "${MARK}")
  message(FATAL_ERROR "the faulty native did not run (exit ${rc}):\n${all}")
endif()
string(REGEX MATCH "${EXPECT}[^\n]*" warning "${all}")
if(NOT warning OR NOT warning MATCHES "${PATTERN}")
  message(FATAL_ERROR "the VM's JNI warning is not caught by \"${PATTERN}\":\n${all}")
endif()
message(STATUS "caught:\n${all}")
