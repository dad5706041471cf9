# The unit's runtime: ARM EABI, Linux 2.6.16, the GNU C library from 2.4 on.
# On the armel build every dynamically linked deliverable is linked against
# stand-ins of that library's interface (runtime/glibc-stubs), starts through
# the project's own start-up object and carries the replacements of what the
# baseline lacks (runtime/compat_*.cpp); the static tools are linked against
# musl. runtime/check-runtime checks each one as it is linked.
include_guard(GLOBAL)

set(QUILMAR_RUNTIME OFF)
if(CMAKE_CROSSCOMPILING AND NOT QUILMAR_SANITIZE AND NOT QUILMAR_FUZZ)
  set(QUILMAR_RUNTIME ON)
endif()

set(QUILMAR_RUNTIME_DIR ${CMAKE_BINARY_DIR}/runtime/link)
set(QUILMAR_RUNTIME_CHECK ${PROJECT_SOURCE_DIR}/runtime/check-runtime)
set(QUILMAR_RUNTIME_LINK ${PROJECT_SOURCE_DIR}/runtime/link-check)

if(QUILMAR_RUNTIME)
  find_program(QUILMAR_READELF NAMES arm-linux-gnueabi-readelf readelf REQUIRED)
  set(stubs ${PROJECT_SOURCE_DIR}/runtime/glibc-stubs)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${stubs})
  execute_process(COMMAND ${stubs} ${CMAKE_C_COMPILER} ${QUILMAR_READELF} ${QUILMAR_ARMEL_SYSROOT}/lib ${QUILMAR_RUNTIME_DIR}
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "runtime/glibc-stubs failed")
  endif()

  # musl for the static tools, with the cross compiler's own C++ headers
  # (libstdc++'s configuration asks __GLIBC_PREREQ, which musl lacks).
  set(QUILMAR_MUSL /usr/lib/arm-linux-musleabi)
  if(NOT EXISTS ${QUILMAR_MUSL}/rcrt1.o)
    message(FATAL_ERROR "musl for armel is missing: run scripts/bootstrap")
  endif()
  foreach(f crtbeginS.o crtendS.o libstdc++.a libgcc.a libgcc_eh.a include)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${f} OUTPUT_VARIABLE path
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(gcc_${f} ${path})
  endforeach()
  string(REGEX MATCH "^[0-9]+" gcc_major ${CMAKE_CXX_COMPILER_VERSION})
  set(cxx_headers ${QUILMAR_ARMEL_SYSROOT}/include/c++/${gcc_major})
  set(QUILMAR_MUSL_COMPILE_OPTIONS -nostdinc "-D__GLIBC_PREREQ(a,b)=0")
  foreach(dir ${cxx_headers} ${cxx_headers}/arm-linux-gnueabi ${cxx_headers}/backward
              /usr/include/arm-linux-musleabi ${gcc_include})
    list(APPEND QUILMAR_MUSL_COMPILE_OPTIONS "SHELL:-isystem ${dir}")
  endforeach()
  # Position-independent and static (static-pie): musl relocates itself.
  set(QUILMAR_MUSL_LINK_OPTIONS -nostdlib -pie -Wl,-static,--no-dynamic-linker,-z,text
      ${QUILMAR_MUSL}/rcrt1.o ${QUILMAR_MUSL}/crti.o ${gcc_crtbeginS.o})
  set(QUILMAR_MUSL_LIBS -Wl,--start-group ${gcc_libstdc++.a} ${gcc_libgcc.a} ${gcc_libgcc_eh.a} ${QUILMAR_MUSL}/libc.a
      -Wl,--end-group ${gcc_crtendS.o} ${QUILMAR_MUSL}/crtn.o)
endif()

# quilmar_runtime(<target>): a dynamically linked deliverable on the unit's
# C library. Its link fails on a symbol the baseline lacks, naming it.
function(quilmar_runtime target)
  if(NOT QUILMAR_RUNTIME)
    return()
  endif()
  target_link_libraries(${target} PRIVATE quilmar_compat)
  # -B: the start-up object as Scrt1.o; -L: the stand-ins as -lc, -lm, ...
  target_link_options(${target} PRIVATE -B${QUILMAR_RUNTIME_DIR}/ -L${QUILMAR_RUNTIME_DIR})
  add_dependencies(${target} quilmar_startfiles)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${QUILMAR_RUNTIME_DIR}/Scrt1.o)
  set_property(TARGET ${target} PROPERTY CXX_LINKER_LAUNCHER ${QUILMAR_RUNTIME_LINK} ${QUILMAR_RUNTIME_DIR}/newer.txt)
endfunction()

# quilmar_static_runtime(<target> <libraries>...): a static tool on musl. The
# component libraries it uses are compiled into it from their sources, with
# musl's headers like the tool's own.
function(quilmar_static_runtime target)
  foreach(lib IN LISTS ARGN)
    get_target_property(sources ${lib} SOURCES)
    get_target_property(dir ${lib} SOURCE_DIR)
    foreach(s IN LISTS sources)
      if(NOT IS_ABSOLUTE ${s})
        set(s ${dir}/${s})
      endif()
      target_sources(${target} PRIVATE ${s})
    endforeach()
    target_include_directories(${target} PRIVATE $<TARGET_PROPERTY:${lib},INTERFACE_INCLUDE_DIRECTORIES>)
  endforeach()
  target_compile_options(${target} PRIVATE ${QUILMAR_MUSL_COMPILE_OPTIONS})
  target_link_options(${target} PRIVATE ${QUILMAR_MUSL_LINK_OPTIONS})
  target_link_libraries(${target} PRIVATE ${QUILMAR_MUSL_LIBS})
  set_property(TARGET ${target} PROPERTY CXX_LINKER_LAUNCHER ${QUILMAR_RUNTIME_LINK} ${QUILMAR_RUNTIME_DIR}/newer.txt)
endfunction()
