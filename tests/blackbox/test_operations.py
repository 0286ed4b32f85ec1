"""What the administrator of a real machine meets: private log files,
brindlex-reg changes (accounts, passive ports and address) that reach a
running server, --help and --version, a busy port, SIGHUP."""

import ftplib
import io
import os
import select
import signal
import socket
import stat
import subprocess
import tempfile
import time
import unittest

from harness import BIN, Machine, port_open, wait_until


class OperationsTest(unittest.TestCase):
    def setUp(self):
        self.m = Machine()
        # Failed logins are answered at once, so that polling for a login
        # that is about to work costs no extra time.
        self.m.reg("set", "System", "LoginFailDelay", "--dword", "0")

    def tearDown(self):
        self.m.close()

    def can_login(self, user, password):
        with ftplib.FTP() as ftp:
            ftp.connect("127.0.0.1", self.m.port, timeout=10)
            try:
                ftp.login(user, password)
                return True
            except ftplib.error_perm:
                return False

    def pasv(self, ftp):
        """The address and port a PASV reply announces."""
        reply = ftp.sendcmd("PASV")
        n = [int(x) for x in reply[reply.index("(") + 1:reply.index(")")].split(",")]
        return "%d.%d.%d.%d" % tuple(n[:4]), n[4] * 256 + n[5]

    def within_two_seconds(self, predicate, what):
        self.assertTrue(wait_until(predicate, timeout=2.0, step=0.05), what)

    def login(self, user="alice", password="Secret12"):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.m.port, timeout=10)
        ftp.login(user, password)
        return ftp

    def test_log_files_are_private_and_never_hold_a_password(self):
        self.m.add_user("alice", "Pw4TheLog")
        self.m.reg("set", "Log", "Logsize", "--dword", "3000")  # a.log retired to b.log on the way
        server = self.m.start("service")
        for _ in range(3):
            ftp = self.login(password="Pw4TheLog")
            ftp.storbinary("STOR up.txt", io.BytesIO(b"x" * 100))
            ftp.quit()
        self.assertEqual(self.m.stop(server), 0)
        names = sorted(os.listdir(self.m.logdir))
        self.assertIn("b.log", names)
        for name in names:
            path = os.path.join(self.m.logdir, name)
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o640, name)
            with open(path, "rb") as f:
                self.assertNotIn(b"Pw4TheLog", f.read(), name)

    def test_brindlex_reg_changes_are_in_force_within_two_seconds(self):
        # No server yet: the tool says nothing more than before.
        r = self.m.reg("set", "Users\\alice", "Root", "--string", self.m.ftp)
        self.assertEqual((r.stdout, r.stderr), ("", ""))
        self.m.add_user("alice", "Secret12")
        with open(os.path.join(self.m.ftp, "f.txt"), "wb") as f:
            f.write(b"data")
        server = self.m.start("service")

        self.m.add_user("bob", "Bob12345")
        self.within_two_seconds(lambda: self.can_login("bob", "Bob12345"), "new account")
        self.m.reg("passwd", "bob", stdin="Bob54321\n")
        self.within_two_seconds(lambda: self.can_login("bob", "Bob54321"), "new password")
        self.m.reg("delete", "users/BOB")
        self.within_two_seconds(lambda: not self.can_login("bob", "Bob54321"), "deleted account")

        ftp = self.login()
        low = self.m.port + 1  # the harness's ports are below the ephemeral range
        self.m.reg("set", "System", "PassivePorts", "--string", "%d-%d" % (low, low + 4))
        self.m.reg("set", "SYSTEM", "PassiveAddress", "--string", "192.0.2.9")
        self.within_two_seconds(lambda: self.pasv(ftp)[0] == "192.0.2.9", "System change")
        self.assertTrue(low <= self.pasv(ftp)[1] <= low + 4)
        # Not announced: the server goes on with the accounts it has, even
        # after it has taken a later message.
        self.m.reg("--no-notify", "set", "Users\\alice", "Get", "--dword", "0")
        self.m.reg("set", "System", "PassiveAddress", "--string", "192.0.2.10")
        self.within_two_seconds(lambda: self.pasv(ftp)[0] == "192.0.2.10", "second System change")
        ftp.quit()
        self.assertEqual(self.m.reg("get", "Users\\alice", "Get").stdout, "0\n")
        got = io.BytesIO()
        with self.login() as again:
            again.retrbinary("RETR f.txt", got.write)
        self.assertEqual(got.getvalue(), b"data")
        self.m.stop(server)

    def test_help_and_version_answer_without_touching_the_machine(self):
        empty = tempfile.mkdtemp(prefix="bx-empty-")
        self.addCleanup(os.rmdir, empty)
        server = self.m.start("service")
        for root in (empty, self.m.root):  # nothing there, and a server running
            for arg, expected in (("--version", "Brindlex V1.2\n"), ("--help", "usage: dockhand")):
                r = subprocess.run([os.path.join(BIN, "dockhand"), arg], capture_output=True, text=True,
                                   env=dict(os.environ, BRINDLEX_ROOT=root), timeout=10)
                self.assertEqual(r.returncode, 0, arg)
                self.assertTrue(r.stdout.startswith(expected), (arg, r.stdout))
                self.assertEqual(r.stderr, "", arg)
                if root == empty:
                    self.assertEqual(os.listdir(empty), [], arg)
        self.assertIn(os.path.join(self.m.root, "store.db"), r.stdout)  # where the store is
        self.assertIsNone(server.poll())
        self.assertEqual(self.m.stop(server), 0)

    def stderr_until(self, p, text):
        """What the process wrote on standard error until text shows (bounded)."""
        out = b""
        deadline = time.monotonic() + 10
        while text.encode() not in out and time.monotonic() < deadline:
            if select.select([p.stderr], [], [], 0.1)[0]:
                out += os.read(p.stderr.fileno(), 4096) or b"(closed)"
        return out.decode()

    def test_busy_port_is_told_on_stderr_and_sighup_retries_it(self):
        for args in ((), ("service",)):
            blocker = socket.socket()
            blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            blocker.bind(("0.0.0.0", self.m.port))
            blocker.listen(1)
            p = self.m.start(*args, wait=False)
            text = self.stderr_until(p, "port %d" % self.m.port)
            self.assertIn("cannot listen on port %d: the port is in use" % self.m.port, text, args)
            self.assertIsNone(p.poll(), args)
            blocker.close()
            p.send_signal(signal.SIGHUP)
            self.assertTrue(wait_until(lambda: port_open(self.m.port), timeout=5), args)
            self.assertIsNone(p.poll(), args)
            self.assertEqual(self.m.stop(p), 0, args)
            rest = text + p.stderr.read().decode()
            self.assertEqual(rest.count("cannot listen"), 1, (args, rest))

    def test_sighup_loads_new_accounts_and_never_ends_the_process(self):
        for n, args in enumerate(((), ("service",))):
            p = self.m.start(*args)
            user = "carol%d" % n
            # The store only: no message to the server.
            self.m.reg("--no-notify", "set", "Users\\" + user, "Root", "--string", self.m.ftp)
            self.m.reg("--no-notify", "passwd", user, stdin="Carol123\n")
            self.assertFalse(self.can_login(user, "Carol123"), args)
            p.send_signal(signal.SIGHUP)
            self.within_two_seconds(lambda: self.can_login(user, "Carol123"), args)
            self.assertIsNone(p.poll(), args)
            self.assertEqual(self.m.stop(p), 0, args)
        self.assertEqual(self.m.log_text().count("SIGHUP: settings and users reloaded"), 2)


if __name__ == "__main__":
    unittest.main()
