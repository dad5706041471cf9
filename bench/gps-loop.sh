#!/bin/sh
# Pairs per second through the whole loop into Java: the telit log replayed
# 20 times as fast as the simulated line takes it, on the host JVM.
set -eu
build=${1:-build/host}
"${JAVA:-/usr/lib/jvm/java-17-openjdk-amd64/bin/java}" -Dquilmar.bench=1 -Djava.library.path="$build/lib" -Dquilmar.lib="$build/lib" -Dquilmar.bin="$build/bin" \
    -Dquilmar.hostbin="$build/bin" -Dquilmar.source="$(pwd)" -Dquilmar.target=host \
    -jar /usr/share/java/junit-platform-console-standalone.jar \
    --class-path "$build/java/classes.jar:$build/java/test-gps.jar" \
    --select-class de.zavrio.quilmar.gps.LoopThroughputTest --disable-banner --details=none 2>&1 |
    grep -o "gps loop throughput.*"
