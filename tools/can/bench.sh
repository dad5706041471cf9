#!/bin/sh
# cbburst -> cbcheck through the emulated bus at 1 Mbit/s: records per second
# at the checker, and as a ratio to a saturated bus (8-octet frames, 111 bits:
# 9,009 records/s). Usage: tools/can/bench.sh [COUNT] (default 20000), from
# the top of the source tree after the host build.
set -eu
count=${1:-20000}
bin=build/host/bin
root=$(mktemp -d /dev/shm/cbbench-XXXXXX)
"$bin/vboard" start -r "$root" -e "can --rx-size 4096" > "$root.ready" 2>&1 &
board=$!
trap 'kill $board 2>/dev/null; wait $board 2>/dev/null; rm -rf "$root" "$root.ready" "$root.out"' EXIT
while ! grep -q ready "$root.ready" 2>/dev/null; do sleep 0.05; done
ctl() { "$bin/vboard" ctl -r "$root" can "$@"; }
field() { ctl show | sed -n "s/^$1 .* $2=\([0-9]*\).*/\1/p"; }
"$bin/vboard" run -r "$root" -- "$bin/cbcheck" -b 1000 -D can0 > "$root.out" &
checker=$!
while [ "$(field can0 opens)" != 1 ]; do sleep 0.05; done
start=$(date +%s.%N)
"$bin/vboard" run -r "$root" -- "$bin/cbburst" -b 1000 -T "$count" can1 &
burst=$!
while [ "$(field can0 received)" -lt "$count" ]; do sleep 0.01; done
end=$(date +%s.%N)
wait $burst
while [ "$(field can0 queued)" != 0 ]; do sleep 0.01; done
ctl vanish 0
wait $checker || true
ctl show | grep overruns=[1-9] >&2 || true
lost=$(grep -c "wrong message Id received: [^0]" "$root.out" || true)
echo "$count records in $(echo "$end - $start" | bc) s: $(echo "$count / ($end - $start)" | bc) records/s," \
     "ratio $(echo "scale=3; $count / ($end - $start) / 9009" | bc) of a saturated 1 Mbit/s bus; identifier gaps other than block starts: $lost"
