# Splits a callgrind profile (callgrind_annotate --tree=caller) of a program
# run on the virtual board into what the program would execute on the unit
# and what the board's preload adds.
#
# On the unit: the program's and the C library's own instructions. The
# board's share: the preload's functions, and the C library functions that
# they call for the emulation (descriptor locks, the exchange with the
# emulator), but not the calls they pass through to the library function of
# the same name (a read of a real descriptor). An emulated request costs the
# unit one system call wrapper, counted at what that wrapper costs here.
# Prints: "<unit instructions> <board instructions> <total>".
function board(line) { return line ~ /libvboard_preload|\/sim\/preload\// }
function cost(line,   n) { n = line; sub(/^ */, "", n); sub(/ .*/, "", n); gsub(",", "", n); return n + 0 }
function calls(line,   c) { if (!match(line, /\([0-9,]+x\)/)) return 0; c = substr(line, RSTART + 1, RLENGTH - 3); gsub(",", "", c); return c + 0 }
function name(line,   s) {
  s = line
  sub(/^ *[0-9,]+ +[<*] +/, "", s)
  sub(/ \[[^]]*\]$/, "", s)
  sub(/ \([0-9,]+x\)$/, "", s)
  sub(/^[^:]*:/, "", s)
  return s
}
/PROGRAM TOTALS/ { total = cost($0); next }
/^ *[0-9,]+ +< / { ncallers++; ccost[ncallers] = cost($0); cboard[ncallers] = board($0); cname[ncallers] = name($0); ccalls[ncallers] = calls($0); next }
/^ *[0-9,]+ +\* / {
  self = cost($0); fn = name($0); here = board($0); n = 0
  for (i = 1; i <= ncallers; i++) {
    n += ccalls[i]
    if (!here && cboard[i]) {
      if (cname[i] == fn) passed[fn] += ccalls[i]; else lib += ccost[i]
    }
    if (here && !cboard[i]) entered[fn] += ccalls[i]
  }
  if (here) b += self; else { unit += self; if (n > 0) wrapper[fn] = self / n }
  ncallers = 0
  next
}
/^$/ { ncallers = 0 }
END {
  for (fn in entered) {
    emulated = entered[fn] - passed[fn]
    if (emulated > 0 && (fn in wrapper)) add += emulated * wrapper[fn]
  }
  printf "%d %d %d\n", unit - lib + add, b + lib - add, total
}
