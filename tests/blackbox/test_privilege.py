# dockhand started as root gives root up: the server becomes the System
# RunAs user (here the machine's own "nobody", which every Debian system has)
# with no capability but binding ports below 1024, and an admin or
# brindlex-reg started as root acts as the store's owner. Needs root.

import os
import io
import pwd
import select
import shutil
import signal
import socket
import subprocess
import unittest

from harness import BIN, USER, PASSWORD, Machine, can_login, login, port_open, wait_until

CAP_NET_BIND_SERVICE = 1 << 10


def low_port():
    # A free port below 1024, which only the kept capability may bind.
    for port in range(990, 700, -1):
        with socket.socket() as s:
            try:
                s.bind(("0.0.0.0", port))
                return port
            except OSError:
                continue
    raise AssertionError("no free port below 1024")


def status(pid):
    # /proc/PID/status as a dict of its fields.
    with open("/proc/%d/status" % pid) as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)


def owner(path):
    return os.lstat(path).st_uid


@unittest.skipUnless(os.geteuid() == 0, "starts the server as root")
class PrivilegeTest(unittest.TestCase):
    def setUp(self):
        self.nobody = pwd.getpwnam("nobody")
        self.m = Machine()
        self.addCleanup(self.m.close)
        self.m.add_user(USER, PASSWORD)
        # The administrator gives the user its roots and its log directory,
        # and lets it reach them.
        os.chmod(self.m.top, 0o755)
        for d in (self.m.ftp, self.m.logdir):
            os.chown(d, self.nobody.pw_uid, self.nobody.pw_gid)

    def test_server_started_as_root_runs_as_the_run_as_user(self):
        m, uid = self.m, self.nobody.pw_uid
        m.port = low_port()
        m.reg("set", "System", "Port", "--dword", str(m.port))
        m.reg("set", "System", "RunAs", "--string", "nobody")
        # The reload polls below fail logins on purpose until the new
        # password is taken; the failed-login lock would refuse them.
        m.reg("set", "System", "LoginFailLimit", "--dword", "0")
        server = m.start("service")
        self.assertTrue(port_open(m.port), server.stderr.read().decode() if server.poll() is not None else "")

        st = status(server.pid)
        self.assertEqual(st["Uid"].split(), [str(uid)] * 4)
        self.assertEqual(st["Gid"].split(), [str(self.nobody.pw_gid)] * 4)
        self.assertNotIn("0", st["Groups"].split())
        caps = {name: int(st[name], 16) for name in ("CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb")}
        self.assertEqual(caps, {"CapInh": 0, "CapPrm": CAP_NET_BIND_SERVICE, "CapEff": CAP_NET_BIND_SERVICE,
                                "CapBnd": CAP_NET_BIND_SERVICE, "CapAmb": 0})
        # Everything it made is the user's.
        for name in ("store.db", "store.db-wal", "store.db-shm", "dockhand-server.lock", "slot-server"):
            self.assertEqual(owner(os.path.join(m.root, name)), uid, name)

        ftp = login(m.port, USER, PASSWORD)
        ftp.storbinary("STOR up.bin", io.BytesIO(b"x" * 10000))
        ftp.quit()
        self.assertEqual(owner(os.path.join(m.ftp, "up.bin")), uid)

        # Reloads: SIGHUP after a change written without a message, then
        # brindlex-reg run by root, which acts as the store's owner.
        m.reg("--no-notify", "passwd", USER, stdin="second\n")
        server.send_signal(signal.SIGHUP)
        self.assertTrue(wait_until(lambda: can_login(m.port, USER, "second"), 20))
        m.reg("passwd", USER, stdin="third\n")
        self.assertTrue(wait_until(lambda: can_login(m.port, USER, "third"), 20))
        for name in ("store.db", "store.db-wal", "store.db-shm"):
            self.assertEqual(owner(os.path.join(m.root, name)), uid, name)

        # An admin started as root acts as the store's owner too.
        admin = m.start(wait=False)
        self.assertTrue(wait_until(lambda: m.slot_bound("client"), 20))
        self.assertEqual(status(admin.pid)["Uid"].split(), [str(uid)] * 4)
        self.assertEqual(m.stop(admin), 0)

        self.assertEqual(m.stop(server), 0)
        self.assertIn("+++ Stopping Brindlex V1.2 +++", m.log_text())
        self.assertFalse(port_open(m.port))

    def test_without_a_user_to_become(self):
        # A RunAs user that does not exist: said once, and the server runs on
        # as root. An admin that cannot open the store says so and ends.
        m = self.m
        m.reg("set", "System", "RunAs", "--string", "no-such-user-bx")
        server = m.start("service")
        self.assertTrue(port_open(m.port))
        self.assertEqual(status(server.pid)["Uid"].split()[1], "0")
        self.assertTrue(wait_until(lambda: "no-such-user-bx" in m.log_text()))
        self.assertEqual(m.log_text().count("no-such-user-bx does not exist"), 1)

        copy = shutil.copy(os.path.join(BIN, "dockhand"), m.top)  # where the user can reach it
        other = subprocess.run(["setpriv", "--reuid=%d" % self.nobody.pw_uid, "--regid=%d" % self.nobody.pw_gid,
                                "--clear-groups", copy],
                               env=m.env, capture_output=True, text=True, timeout=60)
        self.assertEqual(other.returncode, 1, other.stderr)
        self.assertIn("settings cannot be opened", other.stderr)

        self.assertEqual(m.stop(server), 0)
        err = server.stderr.read().decode()
        self.assertEqual(err.count("no-such-user-bx"), 1, err)

    def test_a_user_refused_a_low_port_is_told_it_lacks_the_permission(self):
        # Not root, no capability: a port below 1024 is refused for want of
        # the permission, and the hint says so instead of "free the port".
        m = self.m
        m.port = low_port()
        m.reg("set", "System", "Port", "--dword", str(m.port))
        for d, _, names in os.walk(m.top):
            for name in [d] + [os.path.join(d, n) for n in names]:
                os.chown(name, self.nobody.pw_uid, self.nobody.pw_gid)
        copy = shutil.copy(os.path.join(BIN, "dockhand"), m.top)  # where the user can reach it
        p = subprocess.Popen(["setpriv", "--reuid=%d" % self.nobody.pw_uid, "--regid=%d" % self.nobody.pw_gid,
                              "--clear-groups", copy, "service"],
                             env=m.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        m.procs.append(p)
        err = b""
        while b"\n" not in err and wait_until(lambda: select.select([p.stderr], [], [], 0.1)[0]):
            err += os.read(p.stderr.fileno(), 4096) or b"\n"
        err = err.decode()
        self.assertIn("cannot listen on port %d: permission denied" % m.port, err)
        self.assertIn("run it as root, give it the capability", err)
        self.assertNotIn("free the port", err)
        self.assertIsNone(p.poll())  # still running, for a port that can be changed
        self.assertEqual(m.stop(p), 0)


if __name__ == "__main__":
    unittest.main()
