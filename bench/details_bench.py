#!/usr/bin/env python3
"""The details view's cost to the server: the real build/bin/dockhand in the
service role with N connections listed (a third logged in), and the server's
CPU time per file transfer with an admin's details view closed, then open.
The "admin" is this script on the client slot, asking for details every
second (IPC_MSG_DETAILS_REQUEST) and reading what the server sends, as an
admin's open details view does. Prints one JSON line per run and the ratio
of the medians (open / closed).

    bench/details_bench.py [--connections 1000] [--transfers 20] [--mib 64] [--runs 3]

A quick check that it works: --connections 20 --transfers 2 --mib 1 --runs 1
"""

import argparse
import ftplib
import json
import os
import resource
import socket
import statistics
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "blackbox"))
from harness import Machine, USER, PASSWORD, wait_until, write  # noqa: E402

IPC_MSG_DETAILS_REQUEST = 10


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Admin:
    # The client slot's reader and a request to the server slot every second.
    def __init__(self, root):
        self.stop = threading.Event()
        self.datagrams = 0
        self.inbox = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.path = os.path.join(root, "slot-client")
        self.inbox.bind(self.path)
        self.inbox.settimeout(0.2)
        self.out = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.out.connect(os.path.join(root, "slot-server"))
        self.threads = [threading.Thread(target=f, daemon=True) for f in (self.ask, self.read)]
        for t in self.threads:
            t.start()

    def ask(self):
        while not self.stop.is_set():
            self.out.send(bytes([IPC_MSG_DETAILS_REQUEST, 0, 0, 0]))
            self.stop.wait(1.0)

    def read(self):
        while not self.stop.is_set():
            try:
                self.inbox.recv(512)
                self.datagrams += 1
            except socket.timeout:
                pass

    def close(self):
        self.stop.set()
        for t in self.threads:
            t.join()
        self.inbox.close()
        self.out.close()
        os.unlink(self.path)  # the next run's stand-in binds the same slot


def transfers(port, count):
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", port, timeout=60)
    ftp.login(USER, PASSWORD)
    for _ in range(count):
        ftp.retrbinary("RETR big.bin", lambda block: None, blocksize=1 << 20)
    ftp.quit()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--connections", type=int, default=1000)
    ap.add_argument("--transfers", type=int, default=20)
    ap.add_argument("--mib", type=int, default=64)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4 * args.connections + 256)), hard))

    m = Machine()
    try:
        m.add_user(USER, PASSWORD)
        write(os.path.join(m.ftp, "big.bin"), os.urandom(1 << 20) * args.mib)
        server = m.start("service")
        idle = []
        for i in range(args.connections):
            s = socket.create_connection(("127.0.0.1", m.port), timeout=30)
            s.recv(1024)
            if i % 3 == 0:
                for line in ("USER %s\r\n" % USER, "PASS %s\r\n" % PASSWORD):
                    s.sendall(line.encode())
                    s.recv(1024)
            idle.append(s)
        results = {"closed": [], "open": []}
        for run in range(args.runs):
            for view in ("closed", "open"):
                admin = Admin(m.root) if view == "open" else None
                # Measured once the server is sending: the view is open.
                if admin and not wait_until(lambda: admin.datagrams > 0, timeout=15):
                    raise AssertionError("the server sends no details")
                before = cpu_seconds(server.pid)
                transfers(m.port, args.transfers)
                per = (cpu_seconds(server.pid) - before) / args.transfers
                got = admin.datagrams if admin else 0
                if admin:
                    admin.close()
                results[view].append(per)
                print(json.dumps({"run": run, "view": view, "connections": args.connections,
                                  "mib": args.mib, "cpu_s_per_transfer": round(per, 5),
                                  "details_datagrams": got}), flush=True)
        closed, opened = (statistics.median(results[v]) for v in ("closed", "open"))
        print("server CPU per %d MiB transfer, %d connections listed: closed %.4f s, open %.4f s, "
              "open/closed %.3f" % (args.mib, args.connections, closed, opened,
                                    opened / closed if closed else float("nan")))
        for s in idle:
            s.close()
        m.stop(server)
    finally:
        m.close()


if __name__ == "__main__":
    main()
