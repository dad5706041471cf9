#!/usr/bin/env bash
# Whole-program figures of portweaver on the virtual board (host build):
#   goodput   four channels echoing through a 115200 baud modem line
#   aggregate the same without a line rate
#   callgrind user-space instructions per relayed octet
#   syscalls  system calls per frame (strace)
#   idle      wake-ups of an idle daemon over 60 s (strace)
#   fclog     log lines of a daemon relaying while the modem sets and clears
#             FC every 4 KiB and sends its status commands (per minute)
#   fcgoodput goodput at 115200 baud with that throttling
#   fcstorm   against the independent 27.010 responder (../shared/peers), full
#             load both ways at 115200 while it sets FC on a DLCI for 1 s every
#             3 s: longest MSC command-to-answer time, frames after FC
#   trickle   latency of a command on one channel while a frame on another
#             arrives one octet every 50 ms
#   noiselog  log octets of NOISE_SECONDS (60) of bad frames and junk, per hour
# DAEMON=path measures another portweaver build (every mode); PEERS=dir the responder's folder.
# Usage: bench/portweaver.sh [goodput|aggregate|callgrind|syscalls|idle|fclog|fcgoodput|fcstorm|trickle|noiselog]...
set -euo pipefail
calc() { awk "BEGIN { print $* }"; }
cd "$(dirname "$0")/.."
bin=${BIN:-build/host/bin}
export PATH=$PWD/$bin:$PATH
daemon=${DAEMON:-$bin/portweaver} # DAEMON=path: another build of the daemon
what=("$@")
[ ${#what[@]} -gt 0 ] || what=(goodput aggregate callgrind syscalls idle)

root=$(mktemp -d /tmp/portweaver-bench.XXXXXX)
board_pid=
daemon_pid=
cleanup() {
  [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null || true
  [ -n "$board_pid" ] && kill "$board_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  [ -n "${KEEP:-}" ] || rm -rf "$root" "$root".*
}
trap cleanup EXIT

# start_board MODEM_ARGS...: modem and cmux (message size 512) on a fresh board
start_board() {
  [ -n "$board_pid" ] && { kill "$board_pid"; wait "$board_pid" 2>/dev/null || true; }
  rm -rf "$root"; mkdir -p "$root"
  vboard start -r "$root" -e "modem $*" -e "cmux --msg-size 512" > "$root.board" 2>&1 &
  board_pid=$!
  for _ in $(seq 100); do grep -q '^ready' "$root.board" 2>/dev/null && return; sleep 0.05; done
  echo "board did not come up" >&2; exit 1
}

# start_daemon [WRAPPER...]: portweaver on the board, optionally under a tool
start_daemon() {
  VBOARD_ROOT=$root vboard run -r "$root" -- "$@" "$daemon" > "$root.daemon" 2>&1 &
  daemon_pid=$!
  for _ in $(seq 400); do
    VBOARD_ROOT=$root vboard ctl modem has "sabm 0" > /dev/null 2>&1 && return
    sleep 0.05
  done
  echo "daemon did not come up" >&2; cat "$root.daemon" >&2; exit 1
}

stop_daemon() {
  # SIGTERM to the daemon itself (not the runner), so that tools write out.
  local pid
  pid=$(pgrep -f -n -- "$daemon\$" || true)
  [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null || true
  wait "$daemon_pid" 2>/dev/null || true
  daemon_pid=
}

# echo_all OCTETS: every channel echoes OCTETS through the modem; prints seconds
echo_all() {
  local n=$1 start end pids=() pid
  start=$(date +%s.%N)
  for p in 0 1 2 3; do
    vboard run -r "$root" -- "$bin/portweaver_port_client" open $p echo "$n" $((p + 11)) > "$root.client$p" 2>&1 &
    pids+=($!)
  done
  local p=0 status
  for pid in "${pids[@]}"; do
    status=0
    wait "$pid" || status=$?
    [ $status -eq 0 ] || { echo "channel $p failed with status $status" >&2; cat "$root.client$p" >&2; exit 1; }
    p=$((p + 1))
  done
  end=$(date +%s.%N)
  calc "$end - $start"
}

for w in "${what[@]}"; do
  case $w in
  goodput)
    start_board --baud 115200
    start_daemon
    n=60000
    echo_all $n > "$root.secs" &
    echoing=$!
    # Steady state: what reached the channel ports between two samples.
    delivered() { VBOARD_ROOT=$root vboard ctl cmux status | awk '/^port/ {for (i = 1; i < NF; i++) if ($i == "from-daemon") s += $(i + 1)} END {print s + 0}'; }
    sleep 3
    t1=$(date +%s.%N); d1=$(delivered)
    sleep 15
    t2=$(date +%s.%N); d2=$(delivered)
    wait $echoing
    limit=$(calc "11520 * 126 / 132")
    rate=$(calc "($d2 - $d1) / ($t2 - $t1)")
    printf 'goodput: %d octets reached the ports in %.2f s: %.0f octets/s = %.1f %% of the UIH limit (%.0f octets/s); whole run of 4 x %d octets %.2f s\n' \
      $((d2 - d1)) "$(calc "$t2 - $t1")" "$rate" "$(calc "100 * $rate / $limit")" "$limit" $n "$(cat "$root.secs")"
    stop_daemon
    ;;
  aggregate)
    start_board
    start_daemon
    n=${AGG_OCTETS:-2000000}
    secs=$(echo_all $n)
    printf 'aggregate: 4 channels x %d octets each way in %.2f s: %.2f MB/s each way, %.2f MB/s total\n' \
      $n "$secs" "$(calc "4 * $n / $secs / 1000000")" "$(calc "8 * $n / $secs / 1000000")"
    stop_daemon
    ;;
  callgrind)
    # The marginal cost: a run relaying CG_OCTETS each way per channel less
    # a run that only opens and closes the channels.
    n=${CG_OCTETS:-250000}
    for run in 0 $n; do
      start_board
      start_daemon valgrind --tool=callgrind --callgrind-out-file="$root.callgrind.$run"
      echo_all $run > /dev/null
      stop_daemon
      callgrind_annotate --tree=caller --auto=no --show-percs=no --threshold=100 "$root.callgrind.$run" 2>/dev/null |
        awk -f bench/callgrind-split.awk > "$root.split.$run"
    done
    read -r unit0 board0 total0 < "$root.split.0"
    read -r unit board total < "$root.split.$n"
    octets=$((8 * n))
    printf 'callgrind: %d octets relayed (4 channels, both ways): %.2f instructions/octet on the unit (portweaver with libc, less a run without data: %d of %d); whole run %.2f on the unit, %.2f for the whole process, of which the board preload %.2f\n' \
      $octets "$(calc "($unit - $unit0) / $octets")" "$unit0" "$unit" "$(calc "$unit / $octets")" "$(calc "$total / $octets")" "$(calc "$board / $octets")"
    ;;
  syscalls)
    start_board
    out=$root.strace
    start_daemon strace -f -c -o "$out"
    n=250000
    echo_all $n > /dev/null
    stop_daemon
    frames=$(((n + 125) / 126 * 4))
    # On the board the control device's requests travel as sendmsg/recvmsg
    # of the preload; on the unit each is one ioctl.
    awk -v f=$frames '$4 ~ /^[0-9]+$/ && $4 >= 50 {printf "  %-10s %8d calls  %.2f per frame each way\n", $NF, $4, $4 / f}' "$out"
    printf 'syscalls: about %d data frames each way (4 x %d octets)\n' $frames $n
    ;;
  idle)
    start_board
    out=$root.idle
    start_daemon
    pid=$(pgrep -f -n -- "$daemon\$")
    timeout -s INT 60 strace -p "$pid" -e trace=ppoll,poll,select,pselect6,nanosleep,read,write,writev,ioctl -o "$out" || true
    printf 'idle: %d wake-ups of the wait in 60 s; system calls: %d\n' \
      "$(grep -c '^ppoll' "$out" || true)" "$(grep -vc 'resumed\|detached\|^---\|^+++' "$out" || true)"
    grep -v 'resumed\|detached' "$out" | sed 's/^/  /' | head -20
    stop_daemon
    ;;
  fclog)
    start_board --fc-after 4096 --fc-hold 30 --shared-flag --split 127
    start_daemon
    startup=$(wc -l < "$root.daemon")
    n=${FC_OCTETS:-1000000}
    secs=$(echo_all $n)
    stop_daemon
    lines=$(( $(wc -l < "$root.daemon") - startup ))
    fcs=$(VBOARD_ROOT=$root vboard ctl modem events | grep -c '^fc [1-4] on' || true)
    VBOARD_ROOT=$root vboard ctl modem violations > "$root.violations"
    viol=$(wc -l < "$root.violations")
    sort "$root.violations" | uniq -c | sort -rn | head -5
    printf 'fclog: 4 channels x %d octets each way in %.2f s under FC (%d FC events kept in the history): %d log lines after start-up = %.1f per minute; %d protocol violations\n' \
      $n "$secs" "$fcs" "$lines" "$(calc "60 * $lines / $secs")" "$viol"
    ;;
  fcgoodput)
    start_board --baud 115200 --fc-after 4096 --fc-hold 30
    start_daemon
    n=${FC_OCTETS:-30000}
    secs=$(echo_all $n)
    stop_daemon
    limit=$(calc "11520 * 126 / 132")
    printf 'fcgoodput: 4 x %d octets each way at 115200 baud with FC every 4 KiB for 30 ms: %.2f s, %.0f octets/s modem -> unit = %.1f %% of the UIH limit (whole run, start and end included)\n' \
      $n "$secs" "$(calc "4 * $n / $secs")" "$(calc "100 * 4 * $n / $secs / $limit")"
    ;;
  fcstorm | trickle | noiselog)
    secs=30
    [ "$w" = noiselog ] && secs=${NOISE_SECONDS:-60}
    python3 -B bench/portweaver_peers.py --bin "$bin" --preload "$PWD/${bin%/bin}/lib/libvboard_preload.so" \
      --peers "${PEERS:-../shared/peers}" ${DAEMON:+--daemon "$DAEMON"} --figure "$w" --seconds "$secs"
    ;;
  *) echo "unknown figure $w" >&2; exit 2 ;;
  esac
done
