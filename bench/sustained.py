#!/usr/bin/env python3
"""Sustained run: one build/bin/dockhand in the service role, with its default
configuration (no PassivePorts, no time limits), under mixed load for
--minutes, sampled every minute. The server must neither decay (the rate of
each kind of work holds) nor grow (its memory and descriptors hold).

    bench/sustained.py [--minutes 30] [--idle 1000] [--large-mib 256] [--list-files 10000]

The load, each kind from its own client loop of build/bin/bench_ftp_load,
all at once and as fast as they go:
  sessions   connect, log in, PASV, RETR 4 KiB, QUIT, one after another
  small      10 clients x 30 RETR of 4 KiB on open sessions
  large      download, then upload, of a --large-mib file
  list       LIST of a directory of --list-files files, 10 times per session
  idle       --idle logged-in sessions held by build/bin/bench_idle all along
Every minute one JSON line: the work of each kind done in that minute, the
server's resident set (VmRSS), its CPU share (of one core), its open
descriptors and threads, the idle sessions still open, the CPU share of the
client loops (the drivers that ended in that minute) and the machine's load
average (others' work on the machine shows there). At the end a table of
the samples, and per column the least-squares slope (per minute, and as a
share of the column's mean), the last minute against the first and the
mean of the second half of the run against the first half's; and the same
for the work of each kind per second of server CPU (on a machine shared with
other work the rates follow the CPU the server is given, these its cost). The idle
sessions answer a NOOP each at the end.
"""

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import server_bench as sb  # noqa: E402

KINDS = [("sessions", "sessions/s"), ("small", "RETR/s"), ("large", "MB/s"), ("list", "LIST/s")]


def make_data(top, large_mib, list_files):
    data = os.path.join(top, "data")
    os.makedirs(os.path.join(data, "many"))
    os.makedirs(os.path.join(data, "up"))
    with open(os.path.join(data, "small"), "wb") as f:
        f.write(os.urandom(4096))
    block = os.urandom(1 << 20)
    for path in (os.path.join(data, "big"), os.path.join(top, "source")):
        with open(path, "wb") as f:
            for _ in range(large_mib):
                f.write(block)
    for i in range(list_files):
        with open(os.path.join(data, "many", "f%05d" % i), "wb") as f:
            f.write(b"x" * (i % 100))
    return data


class Load:
    """The client loops; each completed run of the driver adds its work to
    the count of its kind at the moment it completes."""

    def __init__(self, server, top):
        self.server, self.top = server, top
        self.lock = threading.Lock()
        self.done = {kind: 0.0 for kind, _ in KINDS}
        self.errors = {kind: [] for kind, _ in KINDS}
        self.stop = threading.Event()
        self.threads = [threading.Thread(target=self.loop, args=(kind,), daemon=True) for kind, _ in KINDS]

    def drive(self, *args):
        r = subprocess.run([os.path.join(sb.BIN, "bench_ftp_load"), args[0], str(self.server.port), sb.USER,
                            sb.PASSWORD, *map(str, args[1:])], capture_output=True, text=True, timeout=600)
        lines = r.stdout.strip().splitlines()
        return json.loads(lines[-1]) if lines else {"error": "no output (exit %d)" % r.returncode}

    def once(self, kind, turn):
        """One run of the driver for kind: the work done, or an error text."""
        if kind == "sessions":
            out = self.drive("sessions", 2.0, "small")
            return out.get("sessions"), out
        if kind == "small":
            out = self.drive("concurrent", 10, 30, "small")
            return out.get("transfers"), out
        if kind == "large":
            if turn % 2 == 0:
                out = self.drive("download", "big")
            else:
                out = self.drive("upload", os.path.join(self.top, "source"), "up/received")
            return (out["bytes"] / 1e6 if "bytes" in out else None), out
        out = self.drive("list", "many", 10)
        return out.get("listings"), out

    def loop(self, kind):
        turn = 0
        while not self.stop.is_set():
            try:
                work, out = self.once(kind, turn)
            except (subprocess.TimeoutExpired, ValueError) as e:
                work, out = None, {"error": str(e)}
            turn += 1
            with self.lock:
                if work is None:
                    self.errors[kind].append(out)
                else:
                    self.done[kind] += work
            if work is None:
                time.sleep(1)  # a failing kind does not spin

    def take(self):
        with self.lock:
            done = dict(self.done)
            for kind in self.done:
                self.done[kind] = 0.0
            errors = sum(len(e) for e in self.errors.values())
        return done, errors


def client_cpu():
    """CPU seconds of the drivers that have ended (this script's children)."""
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def status(pid, keys=("VmRSS", "VmHWM")):
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            name = line.split(":")[0]
            if name in keys:
                out[name] = int(line.split()[1])
    return out


class Idle:
    """bench_idle holding n logged-in sessions from 127.1.0.0/16."""

    def __init__(self, server, n):
        self.proc = subprocess.Popen([os.path.join(sb.BIN, "bench_idle"), str(server.port), sb.USER, sb.PASSWORD,
                                      str(n)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.ready = json.loads(self.proc.stdout.readline())

    def ask(self, word):
        self.proc.stdin.write(word + "\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(60)


def slope(values):
    """Least-squares slope of values against their index."""
    n = len(values)
    if n < 2:
        return 0.0
    mx, my = (n - 1) / 2, sum(values) / n
    sxx = sum((i - mx) ** 2 for i in range(n))
    return sum((i - mx) * (v - my) for i, v in enumerate(values)) / sxx


def print_table(samples):
    cols = [(kind, unit) for kind, unit in KINDS] + [("rss_kib", "VmRSS KiB"), ("cpu_pct", "CPU %"),
                                                     ("fds", "fds"), ("idle_alive", "idle"),
                                                     ("client_cpu_pct", "client CPU %"), ("load1", "load")]
    print("\n| minute | " + " | ".join(unit for _, unit in cols) + " |")
    print("|---" * (len(cols) + 1) + "|")
    for s in samples:
        print("| %d | " % s["minute"] + " | ".join(sb.fmt(s[kind]) if isinstance(s[kind], float) else
                                                   "{:,}".format(s[kind]) for kind, _ in cols) + " |")
    print("\n| column | first | last | last / first | second half / first half | slope per minute | slope / mean |")
    print("|---|---|---|---|---|---|---|")
    # The work per second of server CPU: on a machine shared with other work
    # the rates follow the CPU the server gets; these follow its cost.
    per_cpu = [(kind, "%s per server CPU-s" % unit.split("/")[0]) for kind, unit in KINDS]
    for kind, unit in cols + per_cpu:
        if unit.endswith("CPU-s"):
            values = [s[kind] / (s["cpu_pct"] / 100) if s["cpu_pct"] else 0.0 for s in samples]
        else:
            values = [float(s[kind]) for s in samples]
        mean = sum(values) / len(values)
        k = slope(values)
        half = len(values) // 2
        first, second = sum(values[:half]), sum(values[len(values) - half:])
        print("| %s | %s | %s | %s | %s | %s | %s |" % (
            unit, sb.fmt(values[0]), sb.fmt(values[-1]),
            "%.3f" % (values[-1] / values[0]) if values[0] else "-",
            "%.3f" % (second / first) if half and first else "-", "%+.3g" % k,
            "%+.3f%%" % (100 * k / mean) if mean else "-"))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--minutes", type=int, default=30, help="length of the run; one sample per minute")
    ap.add_argument("--interval", type=float, default=60.0, help="seconds per sample (a minute)")
    ap.add_argument("--idle", type=int, default=1000, help="idle logged-in sessions held all along")
    ap.add_argument("--large-mib", type=int, default=256, help="size of the large file (download and upload)")
    ap.add_argument("--list-files", type=int, default=10000, help="files in the listed directory")
    args = ap.parse_args()
    for prog in ("dockhand", "brindlex-reg", "bench_ftp_load", "bench_idle"):
        if not os.access(os.path.join(sb.BIN, prog), os.X_OK):
            raise SystemExit("build/bin/%s is missing: build the default preset first" % prog)
    shm = "/dev/shm"
    room = shutil.disk_usage(shm).free if os.path.isdir(shm) else 0
    top = tempfile.mkdtemp(prefix="bx-sustained-", dir=shm if room > (3 * args.large_mib << 20) else None)
    server = idle = load = None
    samples = []
    try:
        data = make_data(top, args.large_mib, args.list_files)
        server = sb.Dockhand(top, data, passive_ports=None)
        idle = Idle(server, args.idle)
        if idle.ready.get("ready") != args.idle:
            raise SystemExit("the idle sessions did not all log in: %s" % idle.ready)
        print(json.dumps({"idle": idle.ready, "server": status(server.proc.pid)}), flush=True)
        load = Load(server, top)
        for t in load.threads:
            t.start()
        pid = server.proc.pid
        cpu, at = sb.cpu_seconds(pid), time.monotonic()
        client = client_cpu()
        load.take()
        for minute in range(1, args.minutes + 1):
            time.sleep(max(0.0, at + args.interval - time.monotonic()))
            done, errors = load.take()
            now, cpu_now = time.monotonic(), sb.cpu_seconds(pid)
            elapsed = now - at
            sample = {"minute": minute, "seconds": round(elapsed, 2)}
            for kind, _ in KINDS:
                sample[kind] = round(done[kind] / elapsed, 1)
            st = status(pid)
            sample.update({"rss_kib": st["VmRSS"], "hwm_kib": st["VmHWM"],
                           "cpu_pct": round(100 * (cpu_now - cpu) / elapsed, 1),
                           "fds": len(os.listdir("/proc/%d/fd" % pid)), "threads": server.threads(),
                           "idle_alive": idle.ask("count")["alive"], "errors": errors})
            client_now = client_cpu()
            sample.update({"client_cpu_pct": round(100 * (client_now - client) / elapsed, 1),
                           "load1": round(os.getloadavg()[0], 2)})
            cpu, at, client = cpu_now, now, client_now
            samples.append(sample)
            print(json.dumps(sample), flush=True)
        load.stop.set()
        for t in load.threads:
            t.join(660)
        noop = idle.ask("noop")
        print(json.dumps({"idle_noop": noop, "errors": {k: v[:3] for k, v in load.errors.items() if v}}),
              flush=True)
        print_table(samples)
        print("\nidle sessions answering NOOP at the end: %d of %d" % (noop["answered"], args.idle))
        print("driver errors: %d" % sum(len(v) for v in load.errors.values()))
    finally:
        if load:
            load.stop.set()
        if idle:
            idle.close()
        if server:
            server.stop()
        shutil.rmtree(top, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
