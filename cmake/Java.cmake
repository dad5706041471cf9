# JDK 17 for the JNI headers, the Java stand-ins and the JUnit runs, and the
# armel Java runtime that runs the same suites under qemu.
include_guard(GLOBAL)

set(QUILMAR_JDK /usr/lib/jvm/java-17-openjdk-amd64 CACHE PATH "JDK 17 used for headers, javac and host JUnit runs")
set(QUILMAR_JAVAC ${QUILMAR_JDK}/bin/javac)
set(QUILMAR_JAVA ${QUILMAR_JDK}/bin/java)
set(QUILMAR_JAR ${QUILMAR_JDK}/bin/jar)
set(QUILMAR_JUNIT_JAR /usr/share/java/junit-platform-console-standalone.jar)
set(QUILMAR_JNI_INCLUDE_DIRS ${QUILMAR_JDK}/include ${QUILMAR_JDK}/include/linux)

foreach(f ${QUILMAR_JAVAC} ${QUILMAR_JUNIT_JAR} ${QUILMAR_JDK}/include/jni.h)
  if(NOT EXISTS ${f})
    message(FATAL_ERROR "${f} is missing: run scripts/bootstrap")
  endif()
endforeach()

# Sysroot holding Debian's armel OpenJDK 17 runtime, made by scripts/armel-jvm.
set(QUILMAR_ARMEL_JVM_ROOT ${PROJECT_SOURCE_DIR}/build/armel-jvm CACHE PATH "armel Java runtime sysroot")
set(QUILMAR_ARMEL_JAVA ${QUILMAR_ARMEL_JVM_ROOT}/usr/lib/jvm/java-17-openjdk-armel/bin/java)

# What fails a JUnit run under -Xcheck:jni: every warning and error the VM's
# JNI checks print (HotSpot and the Zero VM print the same texts).
set(QUILMAR_JNI_WARNINGS
    "WARNING in native method|WARNING: JNI local refs|Warning: Calling other JNI functions|FATAL ERROR in native method")

# quilmar_junit_test(<test-name> <java launcher...> <scan-path>)
# One JUnit console run over the test classes on <scan-path> (':'-separated),
# with the built native libraries on java.library.path. Tests find the build
# through system properties:
#   quilmar.lib    the native libraries of this build
#   quilmar.bin    the programs of this build
#   quilmar.hostbin  programs that run on this machine (simulators)
#   quilmar.source   the source tree (test data)
#   quilmar.target   "host" or "armel"
function(quilmar_junit_test name)
  set(args ${ARGN})
  list(POP_BACK args scan)
  if(CMAKE_CROSSCOMPILING)
    set(target armel)
    set(hostbin ${PROJECT_SOURCE_DIR}/build/host/bin)
  else()
    set(target host)
    set(hostbin ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  endif()
  add_test(NAME ${name}
           COMMAND ${QUILMAR_JUNIT_LAUNCHER} ${args}
                   -Djava.library.path=${CMAKE_LIBRARY_OUTPUT_DIRECTORY}
                   -Dquilmar.lib=${CMAKE_LIBRARY_OUTPUT_DIRECTORY}
                   -Dquilmar.bin=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
                   -Dquilmar.hostbin=${hostbin}
                   -Dquilmar.source=${PROJECT_SOURCE_DIR}
                   -Dquilmar.target=${target}
                   -jar ${QUILMAR_JUNIT_JAR}
                   --class-path ${CMAKE_BINARY_DIR}/java/classes.jar:${scan}
                   --scan-class-path ${scan}
                   --disable-banner --disable-ansi-colors --details=tree --details-theme=ascii --fail-if-no-tests)
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${QUILMAR_TEST_ENVIRONMENT};${QUILMAR_JVM_ENVIRONMENT}")
endfunction()
