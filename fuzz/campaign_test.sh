#!/usr/bin/env bash
# The campaign on one target for a few thousand runs: its table row carries
# the figures libFuzzer printed, the seeds stay as they were, and a target
# the build does not have is refused.
set -uo pipefail
target=$1
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
seeds=$(grep -m 1 "^$target=" "$root/build/fuzz/fuzzers.txt" | cut -d= -f2-)
before=$(find "$seeds" -type f | wc -l)

FUZZ_RUNS=3000 FUZZ_CAMPAIGN_DIR=$out "$root/scripts/fuzz" --campaign "$target" >"$out/stdout" || exit 1
row=$(grep "^| $target |" "$out/table.md") || { echo "no row for $target"; cat "$out/stdout"; exit 1; }
[[ $row =~ ^\|\ $target\ \|\ 3000\ \|\ [0-9]+\ \|\ [0-9]+\ \|\ [1-9][0-9]*\ \|\ [1-9][0-9]*\ /\ [0-9]+[KM]?b\ \|\ -\ \|\ ok\ \|$ ]] ||
  { echo "row not as expected: $row"; exit 1; }
[ "$(find "$seeds" -type f | wc -l)" -eq "$before" ] || { echo "seeds changed without --keep-seeds"; exit 1; }

FUZZ_CAMPAIGN_DIR=$out "$root/scripts/fuzz" --campaign no_such_target >/dev/null 2>&1
[ $? -eq 2 ] || { echo "an unknown target was not refused"; exit 1; }
echo "campaign row: $row"
