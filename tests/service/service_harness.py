"""Runs the real kelpwatch in a temporary machine directory (the blackbox
harness's Machine), playing systemd: a datagram socket bound as
NOTIFY_SOCKET receives its status reports, and one bound as the machine's
system log socket receives its event records."""

import os
import signal
import socket
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "blackbox"))
from harness import BIN, Machine, wait_until  # noqa: E402

KELPWATCH = os.path.join(BIN, "kelpwatch")


class Datagrams:
    """A datagram socket bound at path; collects what arrives."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.setblocking(False)
        self.received = []

    def wait_for(self, predicate, timeout=30.0):
        """Receives until a message satisfies predicate; returns it or None."""
        return wait_until(lambda: next((t for t in self.drain() if predicate(t)), None), timeout)

    def drain(self):
        try:
            while True:
                self.received.append(self.sock.recv(65536).decode("latin-1"))
        except BlockingIOError:
            return self.received


class ServiceMachine(Machine):
    """A Machine whose "Path" key points at the built programs."""

    def __init__(self):
        super().__init__()
        self.reg("set", "Path", "App", "--string", os.path.join(BIN, "dockhand"))
        self.reg("set", "Path", "Service", "--string", KELPWATCH)
        self.unit = os.path.join(self.root, "systemd", "system", "kelpwatch.service")
        self.notify = Datagrams(os.path.join(self.top, "notify"))
        self.syslog = Datagrams(os.path.join(self.root, "dev-log"))
        self.services = []

    def kelpwatch(self, *args, env=None):
        """Runs a kelpwatch command to its end: (exit code, standard output)."""
        r = subprocess.run([KELPWATCH, *args], env=env or self.env, capture_output=True,
                           text=True, timeout=60)
        return r.returncode, r.stdout

    def start_service(self):
        p = subprocess.Popen([KELPWATCH], env=dict(self.env, NOTIFY_SOCKET=self.notify.path),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.services.append(p)
        return p

    def server_pid(self):
        """The process id in the server lock file, or 0."""
        try:
            with open(os.path.join(self.root, "dockhand-server.lock")) as f:
                return int(f.read().strip() or 0)
        except (OSError, ValueError):
            return 0

    def close(self):
        for p in self.services:
            p.kill()
            p.wait()
        # A dockhand the service started lives in a session of its own.
        pid = self.server_pid()
        try:
            if pid and os.path.samefile("/proc/%d/exe" % pid, os.path.join(BIN, "dockhand")):
                os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
        self.notify.sock.close()
        self.syslog.sock.close()
        super().close()


def stopped(exit_code, specific=0):
    return "STATUS=Stopped (exit code %d, service-specific code %d)" % (exit_code, specific)
