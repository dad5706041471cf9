#!/usr/bin/env python3
"""portweaver on the virtual board against two modems that share nothing
with the daemon: the project's simulator (vboard-modem, driven through
"vboard ctl modem") and the independent 27.010 responder modem27010.py (a
library of this process, on a pty linked to the board's /dev/ttySA0). Both
record what the daemon does wrong. The runs here measure (FC storm, a
trickling frame, line noise) for bench/portweaver.sh and are the acceptance
cases of daemon/test/peer_acceptance.py.

    portweaver_peers.py --bin DIR --preload LIBS [--peers DIR] [--daemon PATH]
                        --figure fcstorm|trickle|noiselog [--seconds N]
"""

import argparse
import fcntl
import gc
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

ARGS = None
MSC_FC_ON, MSC_FC_OFF = 0x0F, 0x0D  # V.24 with EA, RTC, RTR; FC set or clear


class Failed(Exception):
    pass


def check(cond, text):
    if not cond:
        raise Failed(text)


def wait_for(pred, limit, step=0.01):
    end = time.monotonic() + limit
    while not pred():
        if time.monotonic() > end:
            return pred()
        time.sleep(step)
    return True


def on_board_env(root):
    env = dict(os.environ, VBOARD_ROOT=root, LD_PRELOAD=ARGS.preload)
    env.setdefault("ASAN_OPTIONS", "detect_leaks=0")
    return env


def terminate(proc, limit):
    """SIGTERM, then SIGKILL after `limit` seconds."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(limit)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Board:
    """A board root with the emulated /dev/cmux (and vboard-modem if asked)."""

    def __init__(self, modem_args=None):
        self.root = tempfile.mkdtemp(prefix="pw-", dir="/dev/shm")
        emulators = ["-e", "cmux --msg-size 512"]
        if modem_args is not None:
            emulators += ["-e", " ".join(["modem"] + modem_args)]
        self.log = open(self.root + ".board", "w+")
        self.proc = subprocess.Popen([ARGS.bin + "/vboard", "start", "-r", self.root] + emulators,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        ready = wait_for(lambda: "ready" in open(self.root + ".board").read(), 10)
        check(ready, "board did not come up: " + open(self.root + ".board").read())

    def ctl(self, emulator, *words):
        r = subprocess.run([ARGS.bin + "/vboard", "ctl", "--root", self.root, emulator] + list(words),
                           capture_output=True, text=True, timeout=10)
        return r.returncode, r.stdout

    def client(self, *words):
        """portweaver_port_client on the board, in the background."""
        return subprocess.Popen([ARGS.bin + "/portweaver_port_client"] + list(words),
                                env=on_board_env(self.root), stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)

    def close(self):
        terminate(self.proc, 10)
        self.log.close()
        shutil.rmtree(self.root, ignore_errors=True)
        os.unlink(self.root + ".board")


class Daemon:
    def __init__(self, board):
        self.path = board.root + ".daemon"
        self.out = open(self.path, "w+b")
        self.proc = subprocess.Popen([ARGS.daemon or ARGS.bin + "/portweaver"], env=on_board_env(board.root),
                                     stdout=self.out, stderr=subprocess.STDOUT)

    def log(self):
        with open(self.path, "rb") as f:
            return f.read()

    def running(self):
        return self.proc.poll() is None

    def stop(self):
        terminate(self.proc, 5)
        self.out.close()
        text = self.log().decode("latin-1")
        os.unlink(self.path)
        return text


class SimModem:
    """vboard-modem, started with the board."""

    KINDS = {
        "a": ["--delay", "300", "--keep-reading"],
        "b": ["--delay", "300"],
        "c": ["--late", "AT=1000"],
        "d": ["--urc", "90=RING", "--unsolicited", "AT+CMEE=2=+CREG:\\s1"],
        "e": ["--echo", "on"],
    }

    def __init__(self, args):
        self.board = Board(["--echo", "off"] + args)

    def ctl(self, *words):
        return self.board.ctl("modem", *words)

    def multiplexing(self):
        return " 0 open" in self.ctl("stats")[1].replace("|", "")

    def violations(self):
        status, text = self.ctl("violations")
        return text.splitlines() if status == 0 else ["modem unreachable"]

    def unanswered(self):
        stats = self.ctl("stats")[1]
        return int(stats.split("unanswered ")[1].split()[0])

    def data_mode(self, dlci, mode):
        self.ctl("mode", str(dlci), mode)

    def has(self, text):
        return self.ctl("has", text)[0] == 0

    def state(self):
        return " / ".join(self.ctl("events")[1].splitlines()[-12:])

    def close(self):
        self.board.close()


class PeerModem:
    """modem27010.Modem on a pty; the board's /dev/ttySA0 links to it."""

    KINDS = {
        "a": {"at_delays": {"*": 0.3}},
        "c": {"at_delays": {"AT": 1.0}},
        "d": {"urc": ("\r\nRING\r\n", 0.09), "at_replies": {"AT+CMEE=2": "+CREG: 1\r\n\r\nOK"}},
        "e": {"echo": True},
    }

    def __init__(self, options, rate=None):
        sys.path.insert(0, ARGS.peers)
        import modem27010
        self.lib = modem27010
        options = dict(options)
        urc = options.pop("urc", None)
        self.board = Board()
        self.m = modem27010.Modem(tx_rate=rate, rx_rate=rate, **options)
        os.symlink(self.m.slave_path, self.board.root + "/dev/ttySA0")
        self.stop_urc = threading.Event()
        if urc:
            threading.Thread(target=self._urc, args=urc, daemon=True).start()
        # Control frames of our own go ahead of queued data; note when each
        # has left, for the times of the answers.
        self.on_line = {}
        self.queued = []
        self.unread_at = {}  # the responder's backlog when each command was queued
        self._orig_write = self.m.link._write
        self.m.link._write = self._write

    def _urc(self, text, every):
        while not self.stop_urc.wait(every) and self.m.phase == "at":
            self.m.inject(text.encode())

    def _write(self, now):
        self._orig_write(now)
        with self.m.link._lock:
            # Only the commands still queued are looked at: the I/O thread
            # must keep the line's pace however long the run.
            for entry in [e for e in self.queued if not any(o is e[0] for o in self.m.link._out)]:
                entry[1] = time.monotonic()
                self.queued.remove(entry)

    def send_ahead(self, key, raw):
        entry = [[time.monotonic(), bytes(raw)], None]
        with self.m.link._lock:
            out = self.m.link._out
            out.insert(1 if out else 0, entry[0])  # after the frame being written
            self.on_line[key] = entry
            self.queued.append(entry)
        self.m.link._wake()

    def unread(self):
        """Octets the daemon wrote that the responder has not read yet (a
        pseudo-terminal tells its writer nothing of them)."""
        return struct.unpack("i", fcntl.ioctl(self.m.link.fd, termios.FIONREAD, b"\0" * 4))[0]

    def msc_command(self, dlci, v24):
        lib = self.lib
        value = bytes([dlci << 2 | 3, v24])
        self.m.msc_waiting[dlci] = v24
        key = (dlci, v24, time.monotonic())
        self.unread_at[key] = self.unread()
        self.send_ahead(key, lib.encode_frame(0, lib.UIH, lib.encode_ctl(lib.MSC, value, 1), cr=self.m.command_cr))
        return key

    def multiplexing(self):
        return self.m.dlci_open[0]

    def violations(self):
        found = ["%s: %s" % (v.code, v.text) for v in self.m.violations]
        # An answer is the one to the latest command only after some answer
        # to the one before has gone out: a different command earlier means
        # the DTE took an answer for another.
        log = self.m.at_log
        for (t0, c0, _), (t1, c1, _) in zip(log, log[1:]):
            if c1 == c0:
                continue
            answers = [t + self.m.at_delays.get(c.upper(), self.m.at_delays.get("*", 0.0))
                       for t, c, r in log if c == c0 and r is not None and t <= t1]
            if not answers or min(answers) > t1 + 0.005:
                found.append('"%s" before the answer to "%s"' % (c1, c0))
        return found

    def state(self):
        t0 = self.m.at_log[0][0] if self.m.at_log else 0
        return "%s; %s" % (self.m.phase, " ".join("%.3f %s->%s" % (t - t0, c, r) for t, c, r in self.m.at_log[-12:]))

    def data_mode(self, dlci, mode):
        if mode == "at":
            self.m.data_modes[dlci] = lambda d, data: b"\r\nOK\r\n" if b"\r" in data else None
        else:
            self.m.data_modes[dlci] = mode

    def close(self):
        self.stop_urc.set()
        self.m.close()
        self.board.close()


def modem_for(kind=None, sim_args=(), rate=None):
    if ARGS.modem == "sim":
        args = list(SimModem.KINDS[kind] if kind else []) + list(sim_args)
        if rate:
            args += ["--baud", str(rate * 10)]
        return SimModem(args)
    return PeerModem(PeerModem.KINDS[kind] if kind else {}, rate)


def up(modem, limit=15):
    daemon = Daemon(modem.board)
    ok = wait_for(lambda: modem.multiplexing() or not daemon.running(), limit, 0.02)
    if not ok or not daemon.running():
        log = daemon.stop()[-2000:]
        raise Failed("not multiplexing (daemon status %s): %s; modem: %s" % (daemon.proc.returncode, log, modem.state()))
    return daemon


def finish(modem, daemon):
    """Stops the daemon; the modem's record and the daemon's state decide."""
    alive = daemon.running()
    log = daemon.stop()
    problems = modem.violations()
    if not alive:
        problems.append("daemon ended: " + log[-1500:])
    check(not problems, "; ".join(problems[:8]))


def echo(board, port, octets, seed):
    return board.client("open", str(port), "echo", str(octets), str(seed))


def clients_ok(clients, limit):
    for p, c in clients:
        try:
            out, _ = c.communicate(timeout=limit)
        except subprocess.TimeoutExpired:
            c.kill()
            out, _ = c.communicate()
        check(c.returncode == 0 and out == "ok\n", "port %d: %s" % (p, out.strip()))


# --- cases -------------------------------------------------------------------

class Storm:
    """The modem sets FC on one DLCI after another, each for `hold` s,
    while all four channels echo through a 115200 line."""

    def __init__(self, octets=16000, hold=1.0, every=3.0):
        self.octets, self.hold, self.every = octets, hold, every
        self.msc_answer = []   # seconds from a command on the line to its answer
        self.backlog = []      # octets the responder had not read when each command left
        self.after_fc = []     # frames of the DLCI the modem read after its FC was on the line

    def run(self):
        rate = 11520
        sim = ARGS.modem == "sim"
        modem = modem_for(sim_args=["--fc-after", str(int(rate * self.every / 4)),
                                    "--fc-hold", str(int(self.hold * 1000))], rate=rate)
        daemon = None
        try:
            daemon = up(modem)
            stop = threading.Event()
            commands = []
            if not sim:
                threading.Thread(target=self._fc, args=(modem, stop, commands), daemon=True).start()
            clients = [(p, echo(modem.board, p, self.octets, 21 + p)) for p in range(4)]
            try:
                # Four channels share the line's 11,000 octets/s of data.
                clients_ok(clients, 60 + 2 * 4 * self.octets / 11000)
            except Failed as e:
                state = modem.ctl("stats")[1] if sim else "waiting MSC %s" % modem.m.msc_waiting
                raise Failed("%s; modem: %s; daemon: %s" % (e, state, daemon.log()[-800:]))
            stop.set()
            if sim:
                check(wait_for(lambda: modem.unanswered() == 0, 3), "MSC commands unanswered")
                check(" fc-set 0" not in modem.ctl("stats")[1], "the modem never set FC")
            else:
                check(wait_for(lambda: not modem.m.msc_waiting, 3),
                      "MSC commands unanswered: %s" % modem.m.msc_waiting)
                self._judge(modem, commands)
            finish(modem, daemon)
        finally:
            if daemon and daemon.running():
                daemon.stop()
            modem.close()

    def _fc(self, modem, stop, commands):
        d = 1
        while not stop.wait(self.every / 4):
            on = modem.msc_command(d, MSC_FC_ON)
            if stop.wait(self.hold):
                commands.append((on, None))
                modem.msc_command(d, MSC_FC_OFF)
                break
            commands.append((on, modem.msc_command(d, MSC_FC_OFF)))
            d = d % 4 + 1

    def _judge(self, modem, commands):
        lib = modem.lib
        frames = list(modem.m.rx_frames)
        for on, off in commands:
            for key in (on, off):
                if key is None:
                    continue
                dlci, v24, _ = key
                sent = modem.on_line[key][1]
                answers = [f.t for f in frames if f.ctl is not None and f.ctl.code == lib.MSC and f.ctl.cr == 0
                           and f.ctl.dlci == dlci and f.ctl.v24 == v24 and sent is not None and f.t >= sent]
                check(answers, "MSC 0x%02x for DLCI %d not answered" % (v24, dlci))
                self.msc_answer.append(answers[0] - sent)
                self.backlog.append(modem.unread_at[key])
            dlci = on[0]
            start = modem.on_line[on][1]
            end = modem.on_line[off][1] if off else time.monotonic()
            self.after_fc.append(sum(1 for f in frames if f.dlci == dlci and f.ftype == lib.UIH
                                     and start < f.t < (end or time.monotonic())))
        worst = max(self.after_fc or [0])
        check(worst <= 2, "%d frames on a DLCI after its FC was set" % worst)
        slowest = max(self.msc_answer or [0])
        check(slowest <= ARGS.answer_limit, "an MSC answered after %.0f ms" % (slowest * 1000))


SLOW = "a-frame-that-trickles-in-one-octet-a-time"


def trickle(gap=0.05, measured=None):
    """A frame on DLCI 1 arrives one octet every `gap` s (2.4 s in all, no
    gap near the decoder's 100 ms); "AT" written meanwhile on the port of
    DLCI 3 must reach the modem at once, and the slow frame arrive whole."""
    def run():
        modem = modem_for()
        daemon = None
        holder = None
        try:
            daemon = up(modem)
            modem.data_mode(3, "at")
            holder = modem.board.client("open", "2", "sleep", "6000")
            reader = modem.board.client("open", "0", "expect", SLOW, "sleep", "200")
            check(wait_for(lambda: modem_open(modem, 1) and modem_open(modem, 3), 10), "channels not open")
            begin = time.monotonic()
            if ARGS.modem == "sim":
                modem.ctl("trickle", str(int(gap * 1000)))
                modem.ctl("send", "1", SLOW)
            else:
                lib = modem.lib
                raw = lib.encode_frame(1, lib.UIH, SLOW.encode(), cr=modem.m.command_cr)
                for i in range(len(raw)):
                    modem.m.inject(raw[i:i + 1], delay=i * gap)
            # Past the middle of the frame, where a waiting decoder would sit.
            time.sleep(max(0.0, begin + 1.2 - time.monotonic()))
            fd = os.open(modem.board.root + "/dev/ttyMUX2", os.O_WRONLY | os.O_NOCTTY)
            t0 = time.monotonic()
            os.write(fd, b"AT\r")
            os.close(fd)
            if ARGS.modem == "sim":
                arrived = wait_for(lambda: modem.has("dlci 3 at AT"), 5, 0.002)
                t1 = time.monotonic()
            else:
                arrived = wait_for(lambda: b"AT\r" in bytes(modem.m.rx_data[3]), 5, 0.001)
                t1 = next((f.t for f in modem.m.rx_frames if f.dlci == 3 and b"\r" in f.info), time.monotonic())
            latency = t1 - t0
            if measured is not None:
                measured.append(latency)
            check(arrived, "AT on DLCI 3 never reached the modem")
            check(latency <= ARGS.latency_limit, "AT on DLCI 3 took %.0f ms" % (latency * 1000))
            try:
                clients_ok([(0, reader)], 10)
            except Failed as e:
                raise Failed("%s; the slow frame did not arrive whole: %s" % (e, daemon.log()[-600:]))
            finish(modem, daemon)
        finally:
            if holder:
                holder.kill()
                holder.wait()
            if daemon and daemon.running():
                daemon.stop()
            modem.close()
    return run


def modem_open(modem, dlci):
    if ARGS.modem == "sim":
        return (" %d open" % dlci) in modem.ctl("stats")[1].replace("|", "")
    return modem.m.dlci_open[dlci]


def noise(seconds=8.0, rate=11520, measured=None):
    """Bad frames and junk at line rate: the log stays small, the relay works."""
    def run():
        sim = ARGS.modem == "sim"
        modem = modem_for(sim_args=["--noise", str(rate)] if sim else (), rate=rate)
        daemon = None
        try:
            daemon = up(modem)
            start = len(daemon.log())
            if not sim:
                threading.Thread(target=_peer_noise, args=(modem, seconds, rate), daemon=True).start()
            time.sleep(seconds)
            if sim:
                modem.ctl("noise", "0")
            logged = len(daemon.log()) - start
            if measured is not None:
                measured.append(logged)
            check(logged <= ARGS.noise_limit, "%d octets of log in %.0f s of noise" % (logged, seconds))
            clients_ok([(1, echo(modem.board, 1, 2000, 3))], 30)
            finish(modem, daemon)
        finally:
            if daemon and daemon.running():
                daemon.stop()
            modem.close()
    return run


def _peer_noise(modem, seconds, rate):
    """Mostly frames of 60 octets whose FCS is wrong, then junk, at `rate`."""
    lib = modem.lib
    end = time.monotonic() + seconds
    x = 1
    while time.monotonic() < end:
        out = bytearray()
        while len(out) < rate // 10:
            junk = bytearray()
            for _ in range(60):
                x = (x * 1103515245 + 12345) & 0x7FFFFFFF
                junk.append(x >> 16 & 0xFF)
            if rate // 10 - len(out) >= 66 + 16:
                bad = bytearray(lib.encode_frame(1, lib.UIH, bytes(junk), cr=modem.m.command_cr))
                bad[-2] ^= 0x5A
                out += bad
            else:
                out += junk[:rate // 10 - len(out)]
        modem.m.inject(bytes(out))
        time.sleep(0.1)


def figures(name):
    """One figure line for bench/portweaver.sh."""
    secs = ARGS.seconds
    if name == "fcstorm":
        # The responder's I/O thread must keep the line's pace for minutes: a
        # collection over a long run's frame records stalls it, and what it
        # does not read in time waits in the pty, where the daemon cannot
        # see it.
        gc.disable()
        s = Storm(octets=int(secs * 11520 * 126 / 132 / 4), hold=1.0, every=3.0)
        try:
            s.run()
        except Failed as e:
            print("  (judged: %s)" % e)
        print("fcstorm: %d MSC commands over %.0f s of full load both ways at 115200 (FC 1 s every 3 s): "
              "longest command-to-answer %.1f ms (median %.1f ms); frames read on a DLCI after its FC=1 "
              "was on the line: at most %d (%d FC periods)" % (
                  len(s.msc_answer), secs, 1000 * max(s.msc_answer or [0]),
                  1000 * sorted(s.msc_answer or [0])[len(s.msc_answer) // 2], max(s.after_fc or [0]),
                  len(s.after_fc)))
        late = sorted(zip(s.msc_answer, s.backlog), reverse=True)
        print("  answers after 25 ms: %d; the slowest with the octets the responder had not yet read: %s" % (
            sum(1 for t, _ in late if t > 0.025), ", ".join("%.1f ms (%d)" % (1000 * t, b) for t, b in late[:5])))
    elif name == "trickle":
        got = []
        for _ in range(3):
            try:
                trickle(measured=got)()
            except Failed as e:
                print("  (judged: %s)" % e)
        print("trickle: AT on DLCI 3 written 1.2 s into a frame on DLCI 1 that arrives one octet every 50 ms "
              "(2.4 s): reached the modem after %s ms (three runs)"
              % ", ".join("%.1f" % (1000 * t) for t in got))
    elif name == "noiselog":
        got = []
        try:
            noise(seconds=secs, measured=got)()
        except Failed as e:
            print("  (judged: %s)" % e)
        logged = got[0] if got else 0
        print("noiselog: %d octets of log in %.0f s of bad frames and junk at 115200 (11,520 octets/s): "
              "%.0f octets per hour extrapolated linearly (first lines included, so an upper bound)"
              % (logged, secs, logged * 3600.0 / secs))


def parse(argv, cases=False):
    """Options of both scripts; sets ARGS."""
    global ARGS
    p = argparse.ArgumentParser()
    p.add_argument("--bin", required=True)
    p.add_argument("--preload", required=True, help="LD_PRELOAD for programs on the board")
    p.add_argument("--daemon", help="another portweaver than the one in --bin")
    p.add_argument("--peers", default=os.path.join(os.path.dirname(__file__), "../../shared/peers"))
    p.add_argument("--modem", choices=("sim", "peer"), default="peer")
    p.add_argument("--runs", type=int, default=int(os.environ.get("PEER_RUNS", "2")))
    p.add_argument("--seconds", type=float, default=30.0)
    p.add_argument("--answer-limit", type=float, default=0.1)
    p.add_argument("--latency-limit", type=float, default=0.3)
    p.add_argument("--noise-limit", type=int, default=4096)
    if cases:
        p.add_argument("cases", nargs="*")
    else:
        p.add_argument("--figure", required=True, choices=("fcstorm", "trickle", "noiselog"))
    ARGS = p.parse_args(argv)
    return ARGS


if __name__ == "__main__":
    figures(parse(sys.argv[1:]).figure)
