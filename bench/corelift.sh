#!/bin/sh
# corelift's download of a several-MB image over a 115200 baud line: the
# simulated boot loader takes the octets at 11,520 octets/s (8N1) in both
# directions. Prints the wall time and the payload rate as a share of the
# line rate, and checks that the boot loader received the image exactly.
#
#   bench/corelift.sh [KILOBYTES] [BLOCK_OCTETS]     (default 3072 KiB in 2048-octet blocks)
set -eu
cd "$(dirname "$0")/.."
kb=${1:-3072}
block=${2:-2048}
bin=build/host/bin
work=$(mktemp -d /dev/shm/corelift.XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM
python3 - "$work/image.bin" "$work/payload.bin" "$kb" "$block" <<'PY'
import random, struct, sys
image, payload, kb, block = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
rnd = random.Random(14)
total = kb * 1024
head = struct.pack('<H', 128) + b'10.00.xx4'.ljust(32, b'\0') + b'GE864-QUAD'.ljust(32, b'\0') \
    + struct.pack('<HHI', 1, 2, 0)
out, data = [head.ljust(128, b'\0')], []
left = total
while left > 0:
    n = min(block, left)
    b = rnd.randbytes(n)
    out.append(struct.pack('<H', n - 1) + b)
    data.append(b)
    left -= n
open(image, 'wb').write(b''.join(out))
open(payload, 'wb').write(b''.join(data))
PY
octets=$(stat -c %s "$work/payload.bin")
start=$(date +%s.%N)
"$bin/vboard" run -e "bootloader --product GE864-QUAD --rate 11520 --image $work/image.bin --save $work/received.bin" \
    -- "$bin/corelift" /dev/ttySA0 "$work/image.bin" >"$work/out.txt" 2>"$work/err.txt" || {
    echo "corelift failed:"; tail -n 5 "$work/out.txt" "$work/err.txt"; exit 1; }
end=$(date +%s.%N)
cmp -s "$work/payload.bin" "$work/received.bin" || { echo "received image differs"; exit 1; }
blocks=$(grep -c SendBufferToModule "$work/out.txt" || true)
awk -v o="$octets" -v b="$blocks" -v s="$start" -v e="$end" -v size="$block" 'BEGIN {
    t = e - s; r = o / t
    printf "corelift: %d octets in %d blocks of %d, 115200 baud: %.1f s, %.0f octets/s = %.1f %% of 11520 octets/s (received exactly)\n", o, b, size, t, r, 100 * r / 11520 }'
