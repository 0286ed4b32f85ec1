#!/usr/bin/env python3
"""Many idle logged-in sessions on one build/bin/dockhand (service role, its
default configuration but MaxConn 0): build/bin/bench_idle opens --count
control connections from 127.1.0.1 and up (1000 per source address, so the
ephemeral ports suffice), logs each in and holds it. Reported: the server's
resident set (VmRSS, VmHWM) before and after, per session, its descriptors
and threads, the time from the first connect to the last greeting and to the
last login, whether a new client (from 127.2.0.1) is still served with all
of them connected, whether every held session still answers NOOP, and how
long the server takes to close them all.

    bench/idle_sessions.py [--count 100000] [--host 127.0.0.1]
    bench/server_bench.py --idle-sessions 100000      (the same, as a row)

The descriptor limit: both processes need one descriptor per session. This
script raises its own soft and hard RLIMIT_NOFILE (the hard one only as
root, at most to fs.nr_open) and the server and driver inherit it; the
server raises its soft limit to the hard one at start-up. System settings
(sysctl) are read and printed, never changed.
"""

import argparse
import ftplib
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import server_bench as sb  # noqa: E402

SYSCTLS = ("fs.file-max", "fs.nr_open", "net.core.somaxconn", "net.ipv4.tcp_max_syn_backlog",
           "net.ipv4.ip_local_port_range")


def sysctl(name):
    try:
        with open("/proc/sys/" + name.replace(".", "/")) as f:
            return f.read().split()
    except OSError:
        return []


def raise_descriptor_limit(count):
    """Soft and hard RLIMIT_NOFILE of this process (inherited by the server
    and the driver) to what count sessions need, when allowed."""
    want = count + 16384
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    nr_open = int((sysctl("fs.nr_open") or ["1048576"])[0])
    if hard != resource.RLIM_INFINITY and hard < want:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(want, nr_open), min(want, nr_open)))
        except (ValueError, OSError):
            pass  # not root: what the hard limit allows
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)


def status(pid):
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key = line.split(":")[0]
            if key in ("VmRSS", "VmHWM", "Threads"):
                out[key] = int(line.split()[1])
    return out


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def new_client(port):
    """A fresh session with all the others held: login, PWD, RETR, QUIT."""
    start = time.monotonic()
    try:
        source = None if ":" in sb.HOST else ("127.2.0.1", 0)
        ftp = ftplib.FTP(timeout=30, source_address=source)
        ftp.connect(sb.HOST, port)
        ftp.login(sb.USER, sb.PASSWORD)
        ftp.pwd()
        got = bytearray()
        ftp.retrbinary("RETR small", got.extend)
        ftp.quit()
        return {"served": len(got) == sb.SMALL, "seconds": round(time.monotonic() - start, 3)}
    except (OSError, EOFError, ftplib.Error) as e:
        return {"served": False, "error": "%s: %s" % (type(e).__name__, e)}


class Drivers:
    """bench_idle processes holding the sessions, each within the descriptor
    limit and from its own source addresses, started one after another."""

    def __init__(self, port, count, window, per_address, per_driver):
        self.procs = []
        self.ready = {"ready": 0, "failed": 0, "greeted": 0, "first_failure": "", "greet_last_s": 0.0}
        start = time.monotonic()
        first = 0
        while count > 0:
            n = min(count, per_driver)
            proc = subprocess.Popen([os.path.join(sb.BIN, "bench_idle"), "--host", sb.HOST, str(port), sb.USER,
                                     sb.PASSWORD, str(n), str(window), str(per_address), str(first)],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            self.procs.append(proc)
            line = proc.stdout.readline()
            out = json.loads(line) if line else {"ready": 0, "failed": n, "greeted": 0, "first_failure": "driver"}
            now = time.monotonic() - start
            if out.get("greeted"):
                # The driver's ready line comes at its last login; its last
                # greeting came (login_all_s - greet_last_s) before.
                self.ready["greet_last_s"] = round(now - out["login_all_s"] + out["greet_last_s"], 3)
            self.ready["login_all_s"] = round(now, 3)
            for key in ("ready", "failed", "greeted"):
                self.ready[key] += out.get(key, 0)
            if out.get("first_failure") and not self.ready["first_failure"]:
                self.ready["first_failure"] = out["first_failure"]
            count -= n
            first += (n + per_address - 1) // per_address
            if out.get("ready", 0) == 0:
                self.ready["failed"] += count  # the server takes no more: the rest is not tried
                break
        self.ready["drivers"] = len(self.procs)

    def ask(self, word):
        total = {}
        for proc in self.procs:
            proc.stdin.write(word + "\n")
            proc.stdin.flush()
        for proc in self.procs:
            for key, value in json.loads(proc.stdout.readline()).items():
                total[key] = max(total.get(key, 0), value) if key == "seconds" else total.get(key, 0) + value
        return total

    def close(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.stdin.close()
        for proc in self.procs:
            try:
                proc.wait(120)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def run(count, window=512, per_address=1000):
    """One run; a dict of what was measured."""
    limit = raise_descriptor_limit(count)
    kernel = {name: " ".join(sysctl(name)) for name in SYSCTLS}
    # The server has a dozen descriptors of its own and a new client needs
    # one more; each driver keeps a few for itself.
    capacity = limit[0] - 32
    per_driver = max(1, limit[0] - 64)
    print(json.dumps({"descriptor_limit": limit, "kernel": kernel, "server_capacity_about": capacity,
                      "drivers": -(-count // per_driver)}), flush=True)
    if count > capacity:
        print("warning: the descriptor limit (%d, hard) lets the server hold about %d sessions, not %d; "
              "raising the hard limit needs CAP_SYS_RESOURCE" % (limit[1], capacity, count), flush=True)
    top = tempfile.mkdtemp(prefix="bx-idle-")
    server = drivers = None
    try:
        server = sb.Dockhand(top, sb.make_data(top, full=False), passive_ports=None)
        pid = server.proc.pid
        before = status(pid)
        before_fds = descriptors(pid)
        cpu = sb.cpu_seconds(pid)
        drivers = Drivers(server.port, count, window, per_address, per_driver)
        ready = drivers.ready
        ready["server_cpu_s"] = round(sb.cpu_seconds(pid) - cpu, 3)
        time.sleep(1.0)
        after = status(pid)
        held = {"server_descriptors": descriptors(pid), "server_threads": after["Threads"]}
        probe = new_client(server.port)
        noop = drivers.ask("noop")
        # Every session closes at once; the server's descriptors drop back.
        start = time.monotonic()
        drivers.close()
        while descriptors(pid) > before_fds and time.monotonic() - start < 300:
            time.sleep(0.2)
        closed = round(time.monotonic() - start, 2)
        result = {"asked": count, **ready, "rss_before_kib": before["VmRSS"], "rss_after_kib": after["VmRSS"],
                  "hwm_after_kib": after["VmHWM"],
                  "kib_per_session": round((after["VmRSS"] - before["VmRSS"]) / max(1, ready["ready"]), 3),
                  **held, "new_client": probe, "noop": noop, "closed_all_s": closed,
                  "new_client_after": new_client(server.port), "server_running_after": server.proc.poll() is None}
        print(json.dumps(result), flush=True)
        return result
    finally:
        if drivers:
            drivers.close()
        if server:
            server.stop()
        shutil.rmtree(top, ignore_errors=True)


def print_row(r):
    probe = r["new_client"]
    print("\n| idle sessions | logged in | failed | last greeting | all logged in | VmRSS before | VmRSS after "
          "| per session | VmHWM | new client | NOOP answered | all closed |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    print("| {:,} | {:,} | {:,} | {:.2f} s | {:.2f} s | {:,} KiB | {:,} KiB | {:.2f} KiB | {:,} KiB | {} | {:,} | {} s |"
          .format(r["asked"], r["ready"], r["failed"], r["greet_last_s"], r["login_all_s"], r["rss_before_kib"],
                  r["rss_after_kib"], r["kib_per_session"], r["hwm_after_kib"],
                  "served in %.3f s" % probe["seconds"] if probe["served"] else "NOT served (%s)"
                  % probe.get("error", "wrong size"), r["noop"]["answered"], r["closed_all_s"]))
    if r["failed"]:
        print("\nfirst failure: %s" % r["first_failure"])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--count", type=int, default=100000, help="idle logged-in sessions to open")
    ap.add_argument("--host", default=sb.HOST, help="loopback address of the server (IPv4 spreads the sources)")
    ap.add_argument("--window", type=int, default=512, help="connections between connect and login at a time")
    ap.add_argument("--per-address", type=int, default=1000, help="sessions per client source address")
    args = ap.parse_args()
    sb.HOST = args.host
    for prog in ("dockhand", "brindlex-reg", "bench_idle"):
        if not os.access(os.path.join(sb.BIN, prog), os.X_OK):
            raise SystemExit("build/bin/%s is missing: build the default preset first" % prog)
    print_row(run(args.count, args.window, args.per_address))
    return 0


if __name__ == "__main__":
    sys.exit(main())
