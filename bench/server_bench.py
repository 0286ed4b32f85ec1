#!/usr/bin/env python3
"""Whole-server benchmark: the real build/bin/dockhand in the service role,
from a temporary BRINDLEX_ROOT configured with build/bin/brindlex-reg, under
the workloads of build/bin/bench_ftp_load over loopback. With --peer the same
workloads run against a peer FTP server taken from Debian's package archive
(downloaded and unpacked into the temporary folder, never installed) and the
ratio per workload is printed.

Output: one JSON line per measurement (every run), then a table of medians.

    bench/server_bench.py [--peer] [--tls|--tls-only] [--limits] [--tiny] [--runs 3] [--sessions 1000,10000] [--host ::1]

With --limits a second dockhand serves the same tree with every speed limit
and quota configured but far from reached (the cost of the limits' checks):
the download and the 100 x 20 rows run against both, and a second table
gives their ratio. --tiny shrinks the data (64 MiB files, 100 listed files)
for a quick check that everything runs; its numbers mean little.

With --tls (or --tls-only, without the plain rows) a dockhand and a peer of
their own offer explicit TLS with one self-signed certificate made here, and
build/bin/bench_tls_load (OpenSSL) drives them: 1 GiB each way under PROT P,
data connections resuming the control session (both servers require it),
TLS sessions/s (AUTH TLS, login, QUIT; a full handshake each), and the
memory of idle logged-in TLS sessions. The transfer rows also give each
side's CPU seconds per GiB. Full run for the table:

    bench/server_bench.py --peer --tls --runs 3

--host runs the clients against another loopback address of the servers,
such as ::1 for IPv6 (EPSV instead of PASV).

The sessions and concurrent rows use build/bin/bench_ftp_loop, one thread
with every client on an event loop, so that the client's own CPU does not
bound them; it runs the sessions row with 4 sessions at a time (--in-flight
N), so that the server, not the round trips of one session, sets the rate.
--client threads runs both rows as before, with bench_ftp_load's one
blocking thread per client and sessions one after another (to compare).

With --rounds N the server runs with its default configuration (no
PassivePorts: the passive ports of its own default range) and the concurrent
workload runs N times back to back; each round's rate is printed, then the
last round's against the first (it should hold within 10%):

    bench/server_bench.py --rounds 10 [--clients 100 --per-client 20]

With --idle-sessions N only the idle-sessions row runs (bench/idle_sessions.py:
N logged-in sessions held by build/bin/bench_idle, the server's memory, the
time to greet the last one, a new client served meanwhile):

    bench/server_bench.py --idle-sessions 100000
"""

import argparse
import glob
import json
import os
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BIN = os.path.join(HERE, "..", "build", "bin")
PEER_PACKAGE = "vsftpd"
PEER_LIBRARIES = ["libwrap0"]  # what the peer needs beyond a base system
USER, PASSWORD = "bench", "bench"
# SocketThreads given to dockhand (--socket-threads); None = its default.
SOCKET_THREADS = None
HOST = "127.0.0.1"  # --host: where the clients reach the servers
CLIENT = "loop"  # --client: the driver of the sessions and concurrent rows
IN_FLIGHT = 4  # --in-flight: sessions at a time in the sessions row

BIG = 1 << 30
SMALL = 4096
LIST_FILES = 10000


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, proc, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        try:
            with socket.create_connection((HOST, port), timeout=1) as s:
                s.settimeout(2)
                if s.recv(256).startswith(b"220"):
                    return True
        except OSError:
            pass
        time.sleep(0.05)
    return False


def make_data(top, full=True):
    """The FTP tree both servers serve: a 1 GiB file, a 4 KiB file and a
    directory of 10,000 small files; and the upload source outside it.
    Without full, the 4 KiB file only."""
    data = os.path.join(top, "data")
    os.makedirs(os.path.join(data, "many"))
    with open(os.path.join(data, "small"), "wb") as f:
        f.write(os.urandom(SMALL))
    if not full:
        return data
    block = os.urandom(1 << 20)
    for name in ("big", "source"):
        path = os.path.join(data if name == "big" else top, name)
        with open(path, "wb") as f:
            for _ in range(BIG >> 20):
                f.write(block)
    for i in range(LIST_FILES):
        with open(os.path.join(data, "many", "f%05d" % i), "wb") as f:
            f.write(b"x" * (i % 100))
    os.makedirs(os.path.join(data, "up"))
    os.chmod(os.path.join(data, "up"), 0o777)
    return data


class Dockhand:
    name = "dockhand"
    user, password = USER, PASSWORD

    def __init__(self, top, data, limits=False, passive_ports="61000-65000", tls=None):
        suffix = "-limits" if limits else "-tls" if tls else ""
        if limits:
            self.name = "dockhand+limits"
        self.root = os.path.join(top, "machine" + suffix)
        work = os.path.join(top, "work" + suffix)
        os.makedirs(self.root)
        os.makedirs(work)
        self.env = dict(os.environ, BRINDLEX_ROOT=self.root)
        self.port = free_port()
        self.reg("set", "System", "Port", "--dword", str(self.port))
        self.reg("set", "System", "MaxConn", "--dword", "0")
        if SOCKET_THREADS is not None:
            self.reg("set", "System", "SocketThreads", "--dword", str(SOCKET_THREADS))
        # The same passive ports the peer is given (None: the server's own
        # default range).
        if passive_ports:
            self.reg("set", "System", "PassivePorts", "--string", passive_ports)
        self.reg("set", "Path", "Work", "--string", work)
        self.reg("set", "Log", "Logging", "--dword", "0")
        key = "Users\\" + USER
        self.reg("set", key, "Root", "--string", data)
        self.reg("set", key, "Home", "--string", data)
        for perm in ("List", "Get", "Put", "Create", "DeleteFile"):
            self.reg("set", key, perm, "--dword", "1")
        self.reg("passwd", USER, stdin=PASSWORD + "\n")
        if limits:
            # Configured, never reached: 4 TiB/s, 1 TiB, 4 billion files.
            for group in ("System", key):
                self.reg("set", group, "MaxDownloadRate", "--dword", str(0xFFFFFFFF))
                self.reg("set", group, "MaxUploadRate", "--dword", str(0xFFFFFFFF))
            self.reg("set", key, "QuotaMiB", "--dword", str(1 << 20))
            self.reg("set", key, "QuotaFiles", "--dword", str(0xFFFFFFFF))
        if tls:
            # TLS offered (data connections resume the control session, the
            # default), the bench's certificate.
            self.reg("set", "System", "Tls", "--dword", "1")
            self.reg("set", "System", "TlsCertificate", "--string", tls[0])
            self.reg("set", "System", "TlsKey", "--string", tls[1])
        self.proc = subprocess.Popen([os.path.join(BIN, "dockhand"), "service"], env=self.env, cwd=top,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_port(self.port, self.proc):
            raise SystemExit("dockhand did not start")
        self.upload_name = "up/received"

    def reg(self, *args, stdin=None):
        subprocess.run([os.path.join(BIN, "brindlex-reg"), *args], env=self.env, input=stdin,
                       text=True, check=True, capture_output=True)

    def memory_kb(self):
        """Resident set of the one server process."""
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def threads(self):
        return len(os.listdir("/proc/%d/task" % self.proc.pid))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Peer:
    """The peer server from its Debian package, unpacked into top/peer and
    run as the launching user on a loopback port with its own configuration.
    Anonymous login, rooted at the same data folder, logging off."""
    name = PEER_PACKAGE
    user, password = "anonymous", "bench@"

    def __init__(self, top, data, tls=None):
        pkg = os.path.join(top, "pkg")
        tree = os.path.join(top, "peer")
        if not os.path.isdir(tree):
            os.makedirs(pkg)
            subprocess.run(["apt-get", "download", PEER_PACKAGE, *PEER_LIBRARIES], cwd=pkg, check=True,
                           capture_output=True)
            for deb in glob.glob(os.path.join(pkg, "*.deb")):
                subprocess.run(["dpkg", "-x", deb, tree], check=True)
        suffix = "-tls" if tls else ""
        empty = os.path.join(top, "empty" + suffix)
        os.makedirs(empty)
        self.port = free_port()
        conf = os.path.join(top, "peer%s.conf" % suffix)
        with open(conf, "w") as f:
            f.write("\n".join([
                *(["listen=NO", "listen_ipv6=YES", "listen_address6=" + HOST] if ":" in HOST
                  else ["listen=YES", "listen_ipv6=NO", "listen_address=" + HOST]),
                "listen_port=%d" % self.port, "background=NO", "run_as_launching_user=YES",
                "anonymous_enable=YES", "local_enable=NO", "no_anon_password=YES", "ftp_username=nobody",
                "anon_root=" + data, "write_enable=YES", "anon_upload_enable=YES",
                "anon_other_write_enable=YES", "anon_umask=022", "pasv_enable=YES",
                "xferlog_enable=NO", "dual_log_enable=NO", "syslog_enable=NO", "log_ftp_protocol=NO",
                "max_clients=0", "max_per_ip=0", "seccomp_sandbox=NO", "secure_chroot_dir=" + empty,
                "idle_session_timeout=0", "data_connection_timeout=0", "use_sendfile=YES",
                *(peer_tls_settings(*tls) if tls else []), ""]))
        libs = glob.glob(os.path.join(tree, "usr", "lib", "*-linux-gnu")) + glob.glob(os.path.join(tree, "lib", "*-linux-gnu"))
        env = dict(os.environ, LD_LIBRARY_PATH=":".join(libs))
        self.proc = subprocess.Popen([os.path.join(tree, "usr", "sbin", "vsftpd"), conf], env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if not wait_port(self.port, self.proc):
            raise SystemExit("peer did not start: %s" % self.proc.stderr.read().decode(errors="replace"))
        self.upload_name = "up/received"

    def memory_kb(self):
        """Proportional set size of the server and every process it forked."""
        total = 0
        for pid in [self.proc.pid] + descendants(self.proc.pid):
            try:
                with open("/proc/%d/smaps_rollup" % pid) as f:
                    for line in f:
                        if line.startswith("Pss:"):
                            total += int(line.split()[1])
            except OSError:
                pass
        return total

    def threads(self):
        return 1 + len(descendants(self.proc.pid))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def peer_tls_settings(certificate, key):
    """The peer's explicit TLS as ours is set up: the same certificate and
    key, TLS offered but not required (the same client serves both), data
    connections resuming the control session (its default, like ours), no
    client certificate asked for, TLS 1.2 and later."""
    return ["ssl_enable=YES", "allow_anon_ssl=YES", "force_anon_logins_ssl=NO", "force_anon_data_ssl=NO",
            "rsa_cert_file=" + certificate, "rsa_private_key_file=" + key, "require_ssl_reuse=YES",
            "ssl_request_cert=NO", "ssl_sslv2=NO", "ssl_sslv3=NO", "ssl_tlsv1=YES", "ssl_ciphers=HIGH"]


def make_certificate(top):
    """A self-signed P-256 certificate for the loopback address, and its key
    readable by its owner only: (certificate, key)."""
    cert, key = os.path.join(top, "bench.pem"), os.path.join(top, "bench.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1"],
                   check=True, capture_output=True)
    os.chmod(key, 0o600)
    return cert, key


def descendants(pid):
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                children.setdefault(ppid, []).append(int(entry))
            except (OSError, ValueError, IndexError):
                pass
    out, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            out.append(child)
            todo.append(child)
    return out


def cpu_seconds(pid):
    """CPU time of a process and of every child it has waited for."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return sum(int(x) for x in fields[11:15]) / os.sysconf("SC_CLK_TCK")


def thread_cpu(pid):
    """CPU time of each thread of a process, by thread id."""
    out = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        out[tid] = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return out


def driver(server, *args, program="bench_ftp_load"):
    """One run of the load driver; its JSON result with the server's CPU time,
    the CPU time of the server's busiest thread, and the driver's own CPU time
    (on a small machine the client competes with the server for the cores)."""
    cpu = cpu_seconds(server.proc.pid)
    threads = thread_cpu(server.proc.pid)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    r = subprocess.run([os.path.join(BIN, program), "--host", HOST, args[0], str(server.port), server.user,
                        server.password, *map(str, args[1:])], capture_output=True, text=True, timeout=600)
    out = json.loads(r.stdout.strip().splitlines()[-1])
    if "error" in out:
        raise SystemExit("%s %s: %s" % (server.name, args[0], out))
    # A forking server's session processes count once it has waited for them.
    deadline = time.monotonic() + 10
    while descendants(server.proc.pid) and time.monotonic() < deadline:
        time.sleep(0.02)
    out["server_cpu_s"] = round(cpu_seconds(server.proc.pid) - cpu, 3)
    after = thread_cpu(server.proc.pid)
    out["busiest_thread_cpu_s"] = round(max((t - threads.get(k, 0) for k, t in after.items()), default=0), 3)
    done = resource.getrusage(resource.RUSAGE_CHILDREN)
    out["client_cpu_s"] = round(done.ru_utime + done.ru_stime - children.ru_utime - children.ru_stime, 3)
    return out


def hold_memory(server, sessions, program="bench_ftp_load"):
    """Memory growth of the server per idle logged-in session."""
    before = server.memory_kb()
    p = subprocess.Popen([os.path.join(BIN, program), "--host", HOST, "hold", str(server.port), server.user,
                          server.password, str(sessions)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    line = json.loads(p.stdout.readline())
    if "ready" not in line:
        p.kill()
        raise SystemExit("%s could not hold %d sessions: %s" % (server.name, sessions, line))
    time.sleep(1.0)
    after = server.memory_kb()
    threads = server.threads()
    p.stdin.close()
    p.wait()
    time.sleep(1.0)
    return {"kb_per_session": (after - before) / sessions, "rss_before_kb": before, "rss_after_kb": after,
            "threads_or_processes": threads}


def download(server):
    r = driver(server, "download", "big")
    return r["bytes"] / r["seconds"] / 1e6, r


def upload(server):
    received = os.path.join(TOP, "data", server.upload_name)
    if os.path.exists(received):
        os.remove(received)
    r = driver(server, "upload", os.path.join(TOP, "source"), server.upload_name)
    return r["bytes"] / r["seconds"] / 1e6, r


def many(server, workload, *args):
    """The sessions and concurrent workloads with the chosen client: the
    event loop's also checks the size of every file and, for the sessions,
    takes how many are in flight."""
    if CLIENT == "threads":
        return driver(server, workload, *args)
    extra = [IN_FLIGHT] if workload == "sessions" else []
    return driver(server, workload, *args, SMALL, *extra, program="bench_ftp_loop")


def sessions(server):
    r = many(server, "sessions", 2.0, "small")
    return r["sessions"] / r["seconds"], r


def concurrent(server):
    r = many(server, "concurrent", 100, 20, "small")
    return r["transfers"] / r["seconds"], r


def listing(server):
    r = driver(server, "list", "many", 7)
    return r["seconds"], r


def tls_download(server):
    r = driver(server, "download", "big", program="bench_tls_load")
    return r["bytes"] / r["seconds"] / 1e6, r


def tls_upload(server):
    received = os.path.join(TOP, "data", server.upload_name)
    if os.path.exists(received):
        os.remove(received)
    r = driver(server, "upload", os.path.join(TOP, "source"), server.upload_name, program="bench_tls_load")
    return r["bytes"] / r["seconds"] / 1e6, r


def tls_sessions(server):
    r = driver(server, "sessions", 2.0, program="bench_tls_load")
    return r["sessions"] / r["seconds"], r


# With --tls: explicit TLS (AUTH TLS, PBSZ 0, PROT P), data resuming the
# control session; a session is AUTH TLS, login and QUIT.
TLS_WORKLOADS = [("download 1 GiB, TLS", "MB/s", tls_download), ("upload 1 GiB, TLS", "MB/s", tls_upload),
                 ("sessions/s, TLS", "1/s", tls_sessions)]

WORKLOADS = [("download 1 GiB", "MB/s", download), ("upload 1 GiB", "MB/s", upload),
             ("sessions/s", "1/s", sessions), ("100 clients x 20 RETR 4 KiB", "transfers/s", concurrent),
             ("LIST of 10,000 files (median of 7)", "s", listing)]


def record(results, server, name, unit, run, value, details):
    print(json.dumps({"server": server.name, "workload": name, "unit": unit, "run": run,
                      "value": round(value, 3), "details": details}), flush=True)
    results.setdefault((server.name, name), ([], unit))[0].append(value)


# The rows that also run against dockhand with its limits configured.
LIMITS_ROWS = ("download 1 GiB", "100 clients x 20 RETR 4 KiB")


def run(servers, runs, results, workloads=WORKLOADS):
    """Each run of a workload goes through every server in turn, so that the
    servers meet the same moments of a noisy machine."""
    for name, unit, fn in workloads:
        if fn in (upload, tls_upload):
            # The bench's first upload makes the machine hand out a gigabyte
            # of memory for the first time, at several times the CPU of the
            # later ones (seen: 420 MB/s against 2,400), and it would always
            # be the first server's: one upload each, not measured.
            for server in servers:
                fn(server)
        for i in range(runs):
            # Who goes first alternates: the first of a pair may meet a
            # colder cache or freshly freed memory.
            for server in (servers if i % 2 == 0 else servers[::-1]):
                if server.name == "dockhand+limits" and name not in LIMITS_ROWS:
                    continue
                value, details = fn(server)
                record(results, server, name, unit, i + 1, value, details)
                suffix = ", TLS" if workloads is TLS_WORKLOADS else ""
                for key in ("sessions", "transfers"):
                    if key in details:
                        record(results, server, "server CPU per %s%s" % (key[:-1], suffix), "us", i + 1,
                               details["server_cpu_s"] / details[key] * 1e6, {})
                        record(results, server, "client CPU per %s%s" % (key[:-1], suffix), "us", i + 1,
                               details["client_cpu_s"] / details[key] * 1e6, {})
                if "transfers" in details and server.name == "dockhand":
                    # Is one thread the bound? Its CPU time over the run's time.
                    record(results, server, "busiest server thread during 100 x 20", "%", i + 1,
                           100 * details["busiest_thread_cpu_s"] / details["seconds"], {})
                if suffix and "bytes" in details:
                    # What each side spent on the transfer's bytes under TLS
                    # (the same client for both servers).
                    for side in ("server", "client"):
                        record(results, server, "%s: %s CPU per GiB" % (name, side), "s", i + 1,
                               details["%s_cpu_s" % side] * (1 << 30) / details["bytes"], {})


def run_memory(server, counts, results, tls=False):
    for n in counts:
        r = hold_memory(server, n, program="bench_tls_load" if tls else "bench_ftp_load")
        record(results, server, "memory per idle %ssession, %d" % ("TLS " if tls else "", n), "KiB", 1,
               r["kb_per_session"], r)


def run_tls(servers, data, args, counts, peer_counts, results):
    """The TLS rows, against a dockhand and a peer of their own that offer TLS
    with one certificate (the plain rows' servers stay as they were)."""
    tls = make_certificate(TOP)
    pair = [Dockhand(TOP, data, tls=tls)]
    servers.append(pair[0])
    if args.peer:
        pair.append(Peer(TOP, data, tls=tls))
        servers.append(pair[1])
    run(pair, args.runs, results, TLS_WORKLOADS)
    run_memory(pair[0], counts, results, tls=True)
    if args.peer:
        run_memory(pair[1], peer_counts, results, tls=True)


def time_wait_sockets():
    """Sockets of this machine in TIME_WAIT (both families), or -1."""
    total = 0
    for name in ("/proc/net/sockstat", "/proc/net/sockstat6"):
        try:
            with open(name) as f:
                for line in f:
                    words = line.split()
                    if words and words[0] in ("TCP:", "TCP6:") and "tw" in words:
                        total += int(words[words.index("tw") + 1])
        except OSError:
            return -1
    return total


def run_rounds(server, rounds, clients, per_client):
    """The concurrent workload rounds times back to back, on one server. Each
    round also gives the server's CPU time per transfer and the sockets left
    in TIME_WAIT, so that a slower round can be told apart: the server
    working harder, or the machine (client and server slower together)."""
    rates, cpu = [], []
    for i in range(rounds):
        r = many(server, "concurrent", clients, per_client, "small")
        rates.append(r["transfers"] / r["seconds"])
        cpu.append(1e6 * r["server_cpu_s"] / r["transfers"])
        print(json.dumps({"round": i + 1, "transfers/s": round(rates[-1], 1), "seconds": r["seconds"],
                          "server_cpu_s": r["server_cpu_s"], "server_us_per_transfer": round(cpu[-1], 1),
                          "busiest_thread_cpu_s": r["busiest_thread_cpu_s"],
                          "client_cpu_s": r["client_cpu_s"], "time_wait": time_wait_sockets()}), flush=True)
    print("\nround: " + " ".join("%d" % rate for rate in rates))
    print("server us per transfer: " + " ".join("%.0f" % c for c in cpu))
    print("last round / first round: %.3f" % (rates[-1] / rates[0]))
    print("slowest round / fastest round: %.3f" % (min(rates) / max(rates)))


TOP = None


def main():
    global TOP, HOST, CLIENT, IN_FLIGHT
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--peer", action="store_true", help="run the same workloads against the peer server")
    ap.add_argument("--socket-threads", type=int, default=None,
                    help="SocketThreads of dockhand (default: its own, one per core)")
    ap.add_argument("--runs", type=int, default=3, help="runs per workload (the median is reported)")
    ap.add_argument("--sessions", default="1000,10000", help="idle session counts for the memory rows")
    ap.add_argument("--peer-sessions", default="1000", help="idle session counts for the peer (a process each)")
    ap.add_argument("--limits", action="store_true",
                    help="also run the download and 100 x 20 rows with every limit configured, not reached")
    ap.add_argument("--tls", action="store_true",
                    help="also the TLS rows: 1 GiB each way with PROT P, TLS sessions/s, idle TLS sessions")
    ap.add_argument("--tls-only", action="store_true", help="the TLS rows only")
    ap.add_argument("--tiny", action="store_true", help="small data, for a quick check that it runs")
    ap.add_argument("--host", default=HOST, help="loopback address the clients use (::1 for IPv6)")
    ap.add_argument("--rounds", type=int, default=0,
                    help="only the concurrent workload, this many rounds back to back, default configuration")
    ap.add_argument("--clients", type=int, default=100, help="clients of a round (--rounds)")
    ap.add_argument("--per-client", type=int, default=20, help="RETR of 4 KiB per client in a round (--rounds)")
    ap.add_argument("--idle-sessions", type=int, default=0,
                    help="only the row of this many idle logged-in sessions (bench/idle_sessions.py)")
    ap.add_argument("--client", choices=("loop", "threads"), default=CLIENT,
                    help="driver of the sessions and concurrent rows: one event loop, or a thread per client")
    ap.add_argument("--in-flight", type=int,
                    help="sessions at a time in the sessions row (event-loop client; default %d)" % IN_FLIGHT)
    args = ap.parse_args()
    HOST, CLIENT = args.host, args.client
    if CLIENT == "threads" and args.in_flight not in (None, 1):
        raise SystemExit("--in-flight needs the event-loop client")
    IN_FLIGHT = 1 if CLIENT == "threads" else args.in_flight or IN_FLIGHT
    if IN_FLIGHT < 1:
        raise SystemExit("--in-flight needs at least 1")
    global SOCKET_THREADS
    SOCKET_THREADS = args.socket_threads
    if args.idle_sessions:
        sys.modules.setdefault("server_bench", sys.modules[__name__])
        import idle_sessions
        idle_sessions.print_row(idle_sessions.run(args.idle_sessions))
        return 0
    if args.tiny:
        global BIG, LIST_FILES
        BIG, LIST_FILES = 64 << 20, 100
    counts = [int(x) for x in args.sessions.split(",") if x]
    peer_counts = [int(x) for x in args.peer_sessions.split(",") if x]
    args.tls = args.tls or args.tls_only
    for prog in ("dockhand", "brindlex-reg", "bench_ftp_load", "bench_ftp_loop") + (
            ("bench_tls_load",) if args.tls else ()):
        if not os.access(os.path.join(BIN, prog), os.X_OK):
            raise SystemExit("build/bin/%s is missing: build the default preset first" % prog)
    # In memory when there is room: the disk would be measured otherwise.
    shm = "/dev/shm"
    room = shutil.disk_usage(shm).free if os.path.isdir(shm) else 0
    TOP = tempfile.mkdtemp(prefix="bx-bench-", dir=shm if room > (4 << 30) else None)
    results = {}
    servers = []
    if args.rounds:
        try:
            servers.append(Dockhand(TOP, make_data(TOP, full=False), passive_ports=None))
            run_rounds(servers[0], args.rounds, args.clients, args.per_client)
        finally:
            servers[0].stop() if servers else None
            shutil.rmtree(TOP, ignore_errors=True)
        return 0
    try:
        data = make_data(TOP)
        if not args.tls_only:
            servers.append(Dockhand(TOP, data))
            if args.limits:
                servers.append(Dockhand(TOP, data, limits=True))
            if args.peer:
                servers.append(Peer(TOP, data))
            run(servers, args.runs, results)
            run_memory(servers[0], counts, results)
            if args.peer:
                run_memory(servers[-1], peer_counts, results)
        if args.tls:
            run_tls(servers, data, args, counts, peer_counts, results)
    finally:
        for s in servers:
            s.stop()
        shutil.rmtree(TOP, ignore_errors=True)
    medians = {k: (statistics.median(v), unit) for k, (v, unit) in results.items()}
    print_table({k: v for k, v in medians.items() if k[0] != "dockhand+limits"}, args.peer)
    if args.limits:
        print_limits_table(medians)


def print_table(results, with_peer):
    names = []
    for (_, name) in results:
        if name not in names:
            names.append(name)
    header = "| workload | unit | dockhand |" + (" %s | ratio |" % PEER_PACKAGE if with_peer else "")
    print()
    print(header)
    print("|---|---|---|" + ("---|---|" if with_peer else ""))
    for name in names:
        ours = results.get(("dockhand", name))
        theirs = results.get((PEER_PACKAGE, name)) if with_peer else None
        row = "| %s | %s | %s |" % (name, (ours or theirs)[1], fmt(ours[0]) if ours else "-")
        if with_peer:
            row += " %s |" % (fmt(theirs[0]) if theirs else "-")
            if ours and theirs and ours[0] and theirs[0]:
                lower_is_better = ours[1] in ("s", "KiB", "us")
                ratio = theirs[0] / ours[0] if lower_is_better else ours[0] / theirs[0]
                row += " %.2f |" % ratio
            else:
                row += " - |"
        print(row)
    if with_peer:
        print("\nratio: how many times better dockhand is (peer time or memory / dockhand's; "
              "dockhand's rate / peer's)")


def print_limits_table(results):
    print("\n| workload | unit | dockhand | dockhand+limits | limits / none |")
    print("|---|---|---|---|---|")
    for name in LIMITS_ROWS:
        plain, limited = results.get(("dockhand", name)), results.get(("dockhand+limits", name))
        if plain and limited:
            print("| %s | %s | %s | %s | %.3f |" % (name, plain[1], fmt(plain[0]), fmt(limited[0]),
                                                   limited[0] / plain[0]))


def fmt(v):
    return "%.3f" % v if v < 10 else "{:,.0f}".format(v)


if __name__ == "__main__":
    sys.exit(main())
