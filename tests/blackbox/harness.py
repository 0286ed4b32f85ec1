# Runs the real dockhand and brindlex-reg programs in a temporary machine
# directory, configured only through brindlex-reg, for the black-box tests.

import contextlib
import ftplib
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

BIN = os.environ.get("BRINDLEX_BIN_DIR") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "bin")
USER, PASSWORD = "eve", "ext-pw"


def version_caption():
    # "Brindlex V1.2", from the header the build generates out of the one
    # version in CMakeLists.txt.
    with open(os.path.join(BIN, "..", "generated", "version.h")) as f:
        return re.search(r'BRINDLEX_VERSION_CAPTION "([^"]*)"', f.read()).group(1)


VERSION_CAPTION = version_caption()


def free_port():
    # A port that is free now, taken below the system's ephemeral range so
    # that the outgoing connections of tests running alongside cannot take
    # it before the server binds it.
    for port in random.sample(range(10000, 32000), 200):
        with socket.socket() as s, contextlib.suppress(OSError):
            s.bind(("0.0.0.0", port))
            return port
    raise AssertionError("no free port")


def has_ipv6_loopback():
    # Whether the machine has ::1 (the IPv6 tests skip without it).
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
            return True
    except OSError:
        return False


NO_IPV6 = "no IPv6 loopback address (::1) on this machine: the IPv6 cases are not run"


def wait_until(predicate, timeout=10.0, step=0.02):
    # Polls predicate until it is true or the time-out passes.
    deadline = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < deadline:
        time.sleep(step)
    return value


def port_open(port, host="127.0.0.1"):
    # Whether a server greets on host and port.
    try:
        with socket.create_connection((host, port), timeout=0.5) as s:
            s.settimeout(2)
            return s.recv(1024).startswith(b"220")
    except OSError:
        return False


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def files_below(top):
    return sorted(os.path.join(d, n) for d, _, names in os.walk(top) for n in names)


def make_tree(top, count, rnd):
    # count files of random sizes, two directory levels down.
    for i in range(count):
        size = rnd.choice([0, 1, 100, 8191, 8192, 8193, rnd.randrange(1, 300000)])
        write(os.path.join(top, "d%d" % (i % 7), "e%d" % (i % 3), "f%03d.bin" % i), rnd.randbytes(size))


def tree(top):
    # The files below top, by their path below it, with their bytes.
    return {os.path.relpath(p, top): read(p) for p in files_below(top)}


def login(port, user, password, host="127.0.0.1"):
    # ftplib uses EPSV and EPRT on its own when host is an IPv6 address.
    ftp = ftplib.FTP()
    ftp.connect(host, port, timeout=20)
    ftp.login(user, password)
    return ftp


def can_login(port, user, password):
    try:
        login(port, user, password).close()
        return True
    except ftplib.error_perm:
        return False


class Machine:
    # A temporary machine directory with an FTP tree, a work directory and a
    # log directory.

    def __init__(self):
        self.top = tempfile.mkdtemp(prefix="bx-blackbox-")
        self.root, self.ftp, self.work, self.logdir = (
            os.path.join(self.top, name) for name in ("machine", "ftp", "work", "log"))
        for d in (self.root, self.ftp, self.work, self.logdir):
            os.makedirs(d)
        self.env = dict(os.environ, BRINDLEX_ROOT=self.root)
        # The server runs windowless here even on a desktop; the window's
        # own test gives it a display of its own.
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            self.env.pop(name, None)
        self.procs = []
        self.port = free_port()
        self.reg("set", "System", "Port", "--dword", str(self.port))
        # Wrong passwords answered at once: the tests that send one test
        # something else, and the suite stays fast.
        self.reg("set", "System", "LoginFailDelay", "--dword", "0")
        # Servers run as whoever runs the tests, even as root on a machine
        # that has the package's user.
        self.reg("set", "System", "RunAs", "--string", "root")
        self.reg("set", "Path", "Work", "--string", self.work)
        self.reg("set", "Log", "Logging", "--dword", "1")
        self.reg("set", "Log", "Path", "--string", self.logdir)

    def reg(self, *args, stdin=None):
        r = subprocess.run([os.path.join(BIN, "brindlex-reg"), *args], env=self.env,
                           input=stdin, capture_output=True, text=True, timeout=30)
        if r.returncode != 0:
            raise AssertionError("brindlex-reg %s: %s" % (" ".join(args), r.stderr))
        return r

    def add_user(self, name, password=None):
        # An account with every permission, restricted to the FTP tree.
        key = "Users\\" + name
        for value in ("Root", "Home"):
            self.reg("set", key, value, "--string", self.ftp)
        for value in ("List", "Get", "Put", "Create", "DeleteDir", "DeleteFile", "Restrict"):
            self.reg("set", key, value, "--dword", "1")
        if password is not None:
            self.reg("passwd", name, stdin=password + "\n")

    def start(self, *args, wait=True):
        p = subprocess.Popen([os.path.join(BIN, "dockhand"), *args], env=self.env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.procs.append(p)
        if wait and not wait_until(lambda: port_open(self.port) or p.poll() is not None):
            raise AssertionError("dockhand did not start serving on port %d:\n%s"
                                 % (self.port, self.log_text()[-2000:]))
        return p

    def stop(self, p):
        p.send_signal(signal.SIGTERM)  # nothing once p has ended
        try:
            return p.wait(10)
        except subprocess.TimeoutExpired:
            p.kill()
            return p.wait()

    def slot_bound(self, name):
        # Whether a process reads the slot ("server" or "client").
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            return s.connect_ex(os.path.join(self.root, "slot-" + name)) == 0

    def log_text(self):
        names = sorted(os.listdir(self.logdir))
        return "".join(read(os.path.join(self.logdir, n)).decode("latin-1") for n in names)

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.wait()
            p.stdout.close()
            p.stderr.close()
        shutil.rmtree(self.top, ignore_errors=True)


class ServerTest(unittest.TestCase):
    # A service running on a fresh machine with the account USER, for the
    # real client named by client (skipped when it is not installed).
    client = None
    extensions = False  # the System value Extensions

    def setUp(self):
        if self.client and not shutil.which(self.client):
            self.skipTest("%s is not installed" % self.client)
        self.m = Machine()
        self.addCleanup(self.m.close)
        self.m.reg("set", "System", "Extensions", "--dword", str(int(self.extensions)))
        self.m.add_user(USER, PASSWORD)
        self.server = self.m.start("service")
        self.rnd = random.Random(self.id())
        self.local = os.path.join(self.m.top, "local")
        os.makedirs(self.local)
        self.url = "ftp://%s:%s@127.0.0.1:%d/" % (USER, PASSWORD, self.m.port)

    def served(self, rel):
        return os.path.join(self.m.ftp, rel)

    def run_client(self, *args, ok=True, **kw):
        r = subprocess.run(args, capture_output=True, timeout=300, **kw)
        self.assertEqual(r.returncode == 0, ok, "%s\n%r%r" % (" ".join(args), r.stdout, r.stderr))
        return r.stdout

    def lftp(self, script):
        self.run_client("lftp", "-u", "%s,%s" % (USER, PASSWORD), "-p", str(self.m.port), "-e",
                        "set net:max-retries 1; set net:timeout 20; set cmd:fail-exit yes; "
                        "set xfer:clobber on; " + script + "; quit", "127.0.0.1")
