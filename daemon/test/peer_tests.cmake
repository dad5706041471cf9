# Acceptance runs of the real daemon against the project's modem simulator
# and the independent 27.010 responder kept beside the project (Python).
set(QUILMAR_PEERS_DIR "${PROJECT_SOURCE_DIR}/../shared/peers" CACHE PATH
    "Folder of the independent modem peer (modem27010.py)")
find_program(PYTHON3 python3)
if(CMAKE_CROSSCOMPILING OR NOT PYTHON3 OR NOT TARGET vboard_testing)
  return()
endif()
set(peer_preload "$<TARGET_FILE:vboard_preload>")
if(QUILMAR_SANITIZE)
  set(peer_preload "${asan_runtime}:${peer_preload}")
endif()
set(peer_modems sim)
if(EXISTS "${QUILMAR_PEERS_DIR}/modem27010.py")
  list(APPEND peer_modems peer)
else()
  message(STATUS "portweaver: no modem peer in ${QUILMAR_PEERS_DIR}; its acceptance runs are not registered")
endif()
foreach(modem IN LISTS peer_modems)
  add_test(NAME portweaver_accept_${modem}
           COMMAND ${PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/peer_acceptance.py --bin ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
                   --preload ${peer_preload} --peers ${QUILMAR_PEERS_DIR} --modem ${modem})
  # Times and line rates are measured: nothing else runs beside them.
  set_tests_properties(portweaver_accept_${modem} PROPERTIES TIMEOUT 240 RUN_SERIAL TRUE)
endforeach()
