# Compiler settings and the functions every component uses to declare its
# deliverables, tests and fuzz targets.
include_guard(GLOBAL)

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/archive)

option(QUILMAR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(QUILMAR_FUZZ "Build fuzz targets with libFuzzer" OFF)

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  set(CMAKE_C_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
endif()

add_compile_options(-Wall -Wextra -Werror -Wshadow)

# Hardening, on every build: stack protector, checked string and buffer
# calls where the compiler knows the sizes (they need optimisation, and the
# sanitizers check the same and more), format strings that are not literals
# refused, relocations read-only after start with every symbol bound then,
# position-independent programs (Debian's compilers link them by default;
# the static tools ask for static-pie, which CMake's own -pie would undo).
add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
if(NOT QUILMAR_SANITIZE AND NOT QUILMAR_FUZZ)
  add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()
add_link_options(-Wl,-z,relro,-z,now)

if(QUILMAR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
# The JVM is not built with the sanitizers: their runtime has to be loaded
# first, and the VM's own signal handling and allocations left alone.
set(QUILMAR_JVM_ENVIRONMENT "")
if(QUILMAR_SANITIZE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(QUILMAR_JVM_ENVIRONMENT
      "LD_PRELOAD=${asan_runtime}"
      "ASAN_OPTIONS=detect_leaks=0:handle_segv=0:allow_user_segv_handler=1")
  set(QUILMAR_TEST_ENVIRONMENT "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endif()
if(QUILMAR_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

include(Runtime)

# Product code: no exceptions, no RTTI, C runtime only on the target.
set(QUILMAR_PRODUCT_OPTIONS -fno-exceptions -fno-rtti)
set(QUILMAR_PRODUCT_LINK_OPTIONS -static-libstdc++ -static-libgcc)

# quilmar_product(<target>): flags shared by every deliverable and the
# libraries they are built from.
function(quilmar_product target)
  target_compile_options(${target} PRIVATE ${QUILMAR_PRODUCT_OPTIONS})
  get_target_property(type ${target} TYPE)
  if(NOT type STREQUAL "STATIC_LIBRARY" AND NOT type STREQUAL "OBJECT_LIBRARY")
    target_link_options(${target} PRIVATE ${QUILMAR_PRODUCT_LINK_OPTIONS})
  endif()
endfunction()

# quilmar_program(<name> [STATIC] SOURCES ... [LIBS ...])
# A deliverable program. STATIC ones are linked statically (not possible
# with the sanitizers; on armel against musl, position-independent) and a
# test proves they have no program interpreter.
function(quilmar_program name)
  cmake_parse_arguments(ARG "STATIC" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  quilmar_product(${name})
  set_property(GLOBAL APPEND PROPERTY QUILMAR_DIST_PROGRAMS ${name})
  if(NOT ARG_STATIC OR QUILMAR_SANITIZE OR QUILMAR_FUZZ)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    quilmar_runtime(${name})
  else()
    if(QUILMAR_RUNTIME)
      quilmar_static_runtime(${name} ${ARG_LIBS})
    else()
      # The host's g++ cannot combine -static-pie with -static-libstdc++.
      target_link_libraries(${name} PRIVATE ${ARG_LIBS})
      target_link_options(${name} PRIVATE -static)
    endif()
    add_test(NAME static.${name}
             COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${name}>
                     -P ${PROJECT_SOURCE_DIR}/cmake/check_static.cmake)
  endif()
endfunction()

# quilmar_jni_library(<name> SOURCES ... EXPORTS <symbol-pattern>... [LIBS ...])
# A shared library loaded by the Java VM. Everything is hidden except the
# listed exports (exact names or globs such as Java_de_*); a test compares
# the dynamic symbol table with the list.
function(quilmar_jni_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;EXPORTS;LIBS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  quilmar_product(${name})
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden C_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    BUILD_RPATH "$ORIGIN" INSTALL_RPATH "$ORIGIN" BUILD_RPATH_USE_ORIGIN ON)
  target_include_directories(${name} PRIVATE ${QUILMAR_JNI_INCLUDE_DIRS})
  list(JOIN ARG_EXPORTS ";\n    " globals)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}.exports.map)
  file(GENERATE OUTPUT ${script} CONTENT "{\n  global:\n    ${globals};\n  local:\n    *;\n};\n")
  target_link_options(${name} PRIVATE -Wl,--version-script=${script})
  if(NOT QUILMAR_FUZZ)
    # clang leaves the sanitizer runtime to the executable that loads us.
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${script})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  quilmar_runtime(${name})
  set_property(GLOBAL APPEND PROPERTY QUILMAR_DIST_LIBRARIES ${name})
  string(JOIN "|" patterns ${ARG_EXPORTS})
  add_test(NAME exports.${name}
           COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DFILE=$<TARGET_FILE:${name}>
                   "-DPATTERNS=${patterns}"
                   -P ${PROJECT_SOURCE_DIR}/cmake/check_exports.cmake)
endfunction()

# quilmar_gtest(<name> SOURCES ... [LIBS ...]): a GoogleTest binary whose
# cases CTest lists one by one (under qemu on the armel build).
function(quilmar_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "${QUILMAR_TEST_ENVIRONMENT}")
endfunction()

# quilmar_fuzz_target(<name> SOURCES ... CORPUS <dir> [LIBS ...])
# With libFuzzer (fuzz preset) a fuzzer; otherwise the same entry point is
# linked with a driver that replays every file of the seed corpus, as a test.
#
# The fuzz build makes only the fuzzers and what they link (the target
# quilmar_fuzzers, which the fuzz build preset names): the deliverables are
# not meant to be linked with the fuzzer's instrumentation. Each fuzzer is
# also a test of a few seconds (QUILMAR_FUZZ_SMOKE_SECONDS) growing a corpus
# of its own under the build tree, so that a target which no longer builds
# or crashes on its first inputs shows in CI.
set(QUILMAR_FUZZ_SMOKE_SECONDS 3 CACHE STRING "Seconds each fuzzer runs as a test of the fuzz build")
function(quilmar_fuzz_target name)
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  if(QUILMAR_FUZZ)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set_property(GLOBAL APPEND PROPERTY QUILMAR_FUZZERS "${name}=${ARG_CORPUS}")
    if(NOT TARGET quilmar_fuzzers)
      add_custom_target(quilmar_fuzzers)
      # The campaign's bookkeeping, on the first target declared.
      add_test(NAME fuzz_smoke.campaign COMMAND ${PROJECT_SOURCE_DIR}/fuzz/campaign_test.sh ${name})
    endif()
    add_dependencies(quilmar_fuzzers ${name})
    set(work ${CMAKE_BINARY_DIR}/corpus/${name})
    file(MAKE_DIRECTORY ${work} ${CMAKE_BINARY_DIR}/crashes)
    # Output closed and inputs capped as scripts/fuzz runs them: some targets
    # print on every input, some have whole receiver logs as seeds.
    add_test(NAME fuzz_smoke.${name}
             COMMAND ${name} -max_total_time=${QUILMAR_FUZZ_SMOKE_SECONDS} -max_len=4096 -close_fd_mask=3
                     -artifact_prefix=${CMAKE_BINARY_DIR}/crashes/${name}- ${work} ${ARG_CORPUS})
  else()
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
    add_test(NAME fuzz_replay.${name} COMMAND ${name} ${ARG_CORPUS})
  endif()
endfunction()
