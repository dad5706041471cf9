#!/usr/bin/env python3
"""Acceptance runs of the real portweaver on the virtual board against the
project's modem simulator or the independent 27.010 responder (the harness
is bench/portweaver_peers.py). Every case ends with the modem's record of
the daemon's violations empty.

    peer_acceptance.py --bin DIR --preload LIBS [--peers DIR] --modem sim|peer [CASE...]

Exit status 0 when every case passed, 1 otherwise (the reasons on stderr).
"""

import os
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../bench"))
import portweaver_peers as pw  # noqa: E402
from portweaver_peers import Failed, Storm, clients_ok, echo, finish, modem_for, noise, trickle, up  # noqa: E402


def bring_up(kind):
    def run():
        for i in range(pw.ARGS.runs):
            modem = modem_for(kind)
            daemon = None
            try:
                daemon = up(modem)
                clients_ok([(0, echo(modem.board, 0, 300, 5 + i))], 30)
                finish(modem, daemon)
            except Failed as e:
                if daemon and daemon.running():
                    daemon.stop()
                raise Failed("run %d of %d: %s" % (i + 1, pw.ARGS.runs, e))
            finally:
                modem.close()
    return run


CASES = {
    "bringup-a": bring_up("a"),
    "bringup-b": bring_up("b"),
    "bringup-c": bring_up("c"),
    "bringup-d": bring_up("d"),
    "bringup-e": bring_up("e"),
    "fc-storm": lambda: Storm().run(),
    "trickle": trickle(),
    "noise": noise(),
}
PEER_LACKS = {"bringup-b": "the peer answers every command on its own clock; it has no one-at-a-time mode"}


def main(argv):
    args = pw.parse(argv, cases=True)
    failed = 0
    for name in args.cases or sorted(CASES):
        if args.modem == "peer" and name in PEER_LACKS:
            print("%s: skipped (%s)" % (name, PEER_LACKS[name]))
            continue
        begin = time.monotonic()
        try:
            CASES[name]()
            print("%s: passed (%.1f s)" % (name, time.monotonic() - begin))
        except Failed as e:
            failed += 1
            print("%s: FAILED against %s: %s" % (name, args.modem, e), file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
