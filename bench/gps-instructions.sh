#!/bin/sh
# Instructions per sentence for read + checksum + parse in-process: callgrind
# totals of two runs of gps_bench, the difference divided by the sentences.
set -eu
bench=${1:-build/host/bin/bench_gps}
n=${2:-20000}
ir() {
    out=$(mktemp)
    valgrind --tool=callgrind --callgrind-out-file="$out" "$bench" --sentences "$1" >/dev/null 2>&1
    callgrind_annotate "$out" 2>/dev/null | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1; exit }'
    rm -f "$out"
}
base=$(ir 0)
full=$(ir "$n")
echo "instructions/sentence: $(( (full - base) / n )) (callgrind, $n sentences of the real logs)"
