# Writes dist-manifest.txt: one line per deliverable, "<kind> <built file>",
# which scripts/dist stages into the target's root file system.
get_property(programs GLOBAL PROPERTY QUILMAR_DIST_PROGRAMS)
get_property(libraries GLOBAL PROPERTY QUILMAR_DIST_LIBRARIES)
set(lines "")
foreach(p IN LISTS programs)
  string(APPEND lines "program $<TARGET_FILE:${p}>\n")
endforeach()
foreach(l IN LISTS libraries)
  string(APPEND lines "library $<TARGET_FILE:${l}>\n")
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/dist-manifest.txt CONTENT "${lines}")

# fuzzers.txt: "<fuzz target>=<seed corpus>" per line, for scripts/fuzz.
get_property(fuzzers GLOBAL PROPERTY QUILMAR_FUZZERS)
list(JOIN fuzzers "\n" fuzz_lines)
file(WRITE ${CMAKE_BINARY_DIR}/fuzzers.txt "${fuzz_lines}\n")

# The same check as `make dist`, on this build's deliverables.
if(QUILMAR_RUNTIME)
  add_test(NAME runtime_dist COMMAND ${PROJECT_SOURCE_DIR}/scripts/dist ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/dist-check)
endif()
