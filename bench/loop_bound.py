#!/usr/bin/env python3
"""The most a second socket thread could give the concurrent workload: one
build/bin/dockhand serving all the clients, against N dockhands (one socket
thread each, nothing shared) each serving its share of the clients at the
same time. No engine with N loops in one process can do better than the N
processes, so their combined rate bounds what N loops would win.

Each round runs both arrangements in turn (so they meet the same moments of
a busy machine) and prints one JSON line for each: the combined rate, the
server's and the driver's CPU per transfer, each server's busiest thread as
a share of the round's time, that thread's time running and waiting on the
run queue (its schedstat: waiting with work is a thread short of a core),
and how busy the machine was. Then the medians.

    bench/loop_bound.py [--rounds 6] [--servers 2] [--clients 100] [--per-client 40] [--server-nice N]

--server-nice gives the servers' threads another priority than the driver's
(negative values need the privilege to raise priority): it tells a thread
short of a core from a thread short of a share of the scheduler.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import server_bench as sb  # noqa: E402


def schedstat(pid):
    """Seconds running and waiting on the run queue, by thread id."""
    out = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                run, wait, _ = f.read().split()
        except OSError:
            continue
        out[tid] = (int(run) / 1e9, int(wait) / 1e9)
    return out


def machine():
    """Total and idle (with I/O wait) jiffies of all CPUs."""
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    return sum(v), v[3] + v[4]


def round_of(servers, clients, each):
    """All clients spread over servers at once; the round's measurements."""
    before = [schedstat(s.proc.pid) for s in servers]
    m0 = machine()
    drivers = [subprocess.Popen(["/usr/bin/time", "-f", "%U %S", os.path.join(sb.BIN, "bench_ftp_load"),
                                 "--host", sb.HOST, "concurrent", str(s.port), s.user, s.password,
                                 str(clients // len(servers)), str(each), "small"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for s in servers]
    outs = [d.communicate() for d in drivers]
    m1 = machine()
    after = [schedstat(s.proc.pid) for s in servers]
    results = [json.loads(o[0].strip().splitlines()[-1]) for o in outs]
    if any("error" in r for r in results):
        raise SystemExit("driver: %s" % results)
    seconds = max(r["seconds"] for r in results)
    transfers = sum(r["transfers"] for r in results)
    client_cpu = sum(sum(map(float, o[1].strip().splitlines()[-1].split())) for o in outs)
    server_cpu, busiest = 0.0, []
    for b, a in zip(before, after):
        delta = {t: (a[t][0] - b.get(t, (0, 0))[0], a[t][1] - b.get(t, (0, 0))[1]) for t in a}
        server_cpu += sum(run for run, _ in delta.values())
        run, wait = max(delta.values())
        busiest.append({"share_pct": round(100 * run / seconds), "run_s": round(run, 3), "wait_s": round(wait, 3)})
    return {"servers": len(servers), "transfers/s": round(transfers / seconds), "seconds": round(seconds, 3),
            "server_us_per_transfer": round(1e6 * server_cpu / transfers),
            "client_us_per_transfer": round(1e6 * client_cpu / transfers), "busiest_threads": busiest,
            "machine_busy_pct": round(100 * (1 - (m1[1] - m0[1]) / max(1, m1[0] - m0[0])), 1)}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=6)
    ap.add_argument("--servers", type=int, default=2, help="servers beside the single one")
    ap.add_argument("--clients", type=int, default=100)
    ap.add_argument("--per-client", type=int, default=40)
    ap.add_argument("--server-nice", type=int, default=None, help="priority of the servers' threads")
    args = ap.parse_args()
    top = tempfile.mkdtemp(prefix="bx-loops-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    sb.TOP = top
    servers = []
    try:
        data = sb.make_data(top, full=False)
        for i in range(args.servers):
            own = os.path.join(top, "server%d" % i)
            os.makedirs(own)
            servers.append(sb.Dockhand(own, data))
        if args.server_nice is not None:
            for s in servers:
                for tid in os.listdir("/proc/%d/task" % s.proc.pid):
                    os.setpriority(os.PRIO_PROCESS, int(tid), args.server_nice)
        rates = {1: [], args.servers: []}
        for _ in range(args.rounds):
            for group in (servers[:1], servers):
                r = round_of(group, args.clients, args.per_client)
                rates[len(group)].append(r["transfers/s"])
                print(json.dumps(r), flush=True)
                time.sleep(0.2)
        one, many = statistics.median(rates[1]), statistics.median(rates[args.servers])
        print("\nmedian transfers/s: 1 server %d, %d servers %d (%.2fx)" % (one, args.servers, many, many / one))
    finally:
        for s in servers:
            s.stop()
        shutil.rmtree(top, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
