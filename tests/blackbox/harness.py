"""Runs the real dockhand and brindlex-reg programs in a temporary machine
directory, configured only through brindlex-reg, for the black-box tests."""

import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import time

BIN = os.environ.get("BRINDLEX_BIN_DIR") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "bin")


def free_port():
    """A port that is free now, taken below the system's ephemeral range so
    that the outgoing connections of tests running alongside cannot take it
    before the server binds it."""
    rnd = random.Random()
    for _ in range(200):
        port = rnd.randrange(10000, 32000)
        with socket.socket() as s:
            try:
                s.bind(("0.0.0.0", port))
                return port
            except OSError:
                continue
    raise AssertionError("no free port")


def wait_until(predicate, timeout=10.0, step=0.02):
    """Polls predicate until it is true or the time-out passes."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def port_open(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=0.5) as s:
            s.settimeout(2)
            return s.recv(1024).startswith(b"220")
    except OSError:
        return False


class Machine:
    """A temporary machine directory with an FTP tree, a work directory and
    a log directory."""

    def __init__(self):
        self.top = tempfile.mkdtemp(prefix="bx-blackbox-")
        self.root = os.path.join(self.top, "machine")
        self.ftp = os.path.join(self.top, "ftp")
        self.work = os.path.join(self.top, "work")
        self.logdir = os.path.join(self.top, "log")
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
        self.reg("set", "Path", "Work", "--string", self.work)
        self.reg("set", "Log", "Logging", "--dword", "1")
        self.reg("set", "Log", "Path", "--string", self.logdir)

    def reg(self, *args, stdin=None, check=True):
        r = subprocess.run([os.path.join(BIN, "brindlex-reg"), *args], env=self.env,
                           input=stdin, capture_output=True, text=True, timeout=30)
        if check and r.returncode != 0:
            raise AssertionError("brindlex-reg %s: %s" % (" ".join(args), r.stderr))
        return r

    def add_user(self, name, password=None, root=None, anonymous=False,
                 perms=("List", "Get", "Put", "Create", "DeleteDir", "DeleteFile"),
                 restrict=True):
        key = "Users\\" + name
        self.reg("set", key, "Root", "--string", root or self.ftp)
        self.reg("set", key, "Home", "--string", root or self.ftp)
        for p in ("List", "Get", "Put", "Create", "DeleteDir", "DeleteFile"):
            self.reg("set", key, p, "--dword", "1" if p in perms else "0")
        self.reg("set", key, "Anonymous", "--dword", "1" if anonymous else "0")
        self.reg("set", key, "Restrict", "--dword", "1" if restrict else "0")
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

    def stop(self, p, timeout=10):
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        return p.returncode

    def log_text(self):
        text = ""
        for name in sorted(os.listdir(self.logdir)):
            with open(os.path.join(self.logdir, name), "rb") as f:
                text += f.read().decode("latin-1")
        return text

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.wait()
            for stream in (p.stdout, p.stderr):
                if stream:
                    stream.close()
        shutil.rmtree(self.top, ignore_errors=True)
