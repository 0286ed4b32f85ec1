# What the administrator of a real machine meets: private log files,
# brindlex-reg changes (accounts, passive ports and address, the listening
# port) that reach a running server, --help and --version, a busy port, SIGHUP.

import io
import os
import re
import select
import signal
import socket
import stat
import subprocess
import time
import unittest

from harness import BIN, VERSION_CAPTION, Machine, can_login, free_port, login, port_open, read, wait_until, write


class OperationsTest(unittest.TestCase):
    def setUp(self):
        self.m = Machine()
        self.addCleanup(self.m.close)

    def pasv(self, ftp):
        # The address and port a PASV reply announces.
        n = [int(x) for x in re.search(r"\((.*)\)", ftp.sendcmd("PASV"))[1].split(",")]
        return "%d.%d.%d.%d" % tuple(n[:4]), n[4] * 256 + n[5]

    def test_log_files_are_private_and_never_hold_a_password(self):
        self.m.add_user("alice", "Pw4TheLog")
        self.m.reg("set", "Log", "Logsize", "--dword", "3000")  # a.log retired to b.log on the way
        server = self.m.start("service")
        for _ in range(3):
            with login(self.m.port, "alice", "Pw4TheLog") as ftp:
                ftp.storbinary("STOR up.txt", io.BytesIO(b"x" * 100))
        self.assertEqual(self.m.stop(server), 0)
        names = sorted(os.listdir(self.m.logdir))
        self.assertIn("b.log", names)
        for name in names:
            path = os.path.join(self.m.logdir, name)
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o640, name)
            self.assertNotIn(b"Pw4TheLog", read(path), name)

    def test_brindlex_reg_changes_reach_the_running_server(self):
        # No server yet: the tool says nothing more than before.
        r = self.m.reg("set", "Users\\alice", "Root", "--string", self.m.ftp)
        self.assertEqual((r.stdout, r.stderr), ("", ""))
        self.m.add_user("alice", "Secret12")
        write(os.path.join(self.m.ftp, "f.txt"), b"data")
        # The polls below fail logins on purpose until each change lands.
        self.m.reg("set", "System", "LoginFailLimit", "--dword", "0")
        server = self.m.start("service")
        port = self.m.port
        # A new account, its new password, its removal.
        self.m.add_user("bob")
        for args, password, works in ((("passwd", "bob"), "Bob12345", True),
                                      (("passwd", "bob"), "Bob54321", True),
                                      (("delete", "users/BOB"), "Bob54321", False)):
            self.m.reg(*args, stdin=password + "\n")
            self.assertTrue(wait_until(lambda: can_login(port, "bob", password) == works), args)
        # Carried as text (the password as its digest): an account exported,
        # removed, and imported into the running server logs in again.
        self.m.add_user("carol", "Carry123")
        carried = self.m.reg("export", "Users\\carol").stdout
        self.m.reg("delete", "Users\\carol")
        self.assertTrue(wait_until(lambda: not can_login(port, "carol", "Carry123")))
        self.m.reg("import", "-", stdin=carried)
        self.assertTrue(wait_until(lambda: can_login(port, "carol", "Carry123")), carried)

        ftp = login(port, "alice", "Secret12")
        low = port + 1  # the harness's ports are below the ephemeral range
        self.m.reg("set", "System", "PassivePorts", "--string", "%d-%d" % (low, low + 4))
        self.m.reg("set", "SYSTEM", "PassiveAddress", "--string", "192.0.2.9")
        self.assertTrue(wait_until(lambda: self.pasv(ftp)[0] == "192.0.2.9"), "System change")
        self.assertTrue(low <= self.pasv(ftp)[1] <= low + 4)
        # Not announced: the server goes on with the accounts it has, even
        # after it has taken a later message.
        self.m.reg("--no-notify", "set", "Users\\alice", "Get", "--dword", "0")
        self.m.reg("set", "System", "PassiveAddress", "--string", "192.0.2.10")
        self.assertTrue(wait_until(lambda: self.pasv(ftp)[0] == "192.0.2.10"), "second System change")
        ftp.quit()
        self.assertEqual(self.m.reg("get", "Users\\alice", "Get").stdout, "0\n")
        got = []
        with login(port, "alice", "Secret12") as again:
            again.retrbinary("RETR f.txt", got.append)
        self.assertEqual(b"".join(got), b"data")

        # A new port moves the listening socket; disabling the server closes it.
        new = free_port()
        self.m.reg("set", "System", "Port", "--dword", str(new))
        self.assertTrue(wait_until(lambda: port_open(new)))
        self.assertFalse(port_open(port))
        self.m.reg("set", "System", "Enable", "--dword", "0")
        self.assertTrue(wait_until(lambda: not port_open(new)))
        self.assertEqual(self.m.stop(server), 0)

    def test_help_and_version_answer_without_touching_the_machine(self):
        empty = os.path.join(self.m.top, "empty")
        os.makedirs(empty)
        server = self.m.start("service")
        for root in (empty, self.m.root):  # nothing there, and a server running
            for arg, expected in (("--version", VERSION_CAPTION + "\n"), ("--help", "usage: dockhand")):
                r = subprocess.run([os.path.join(BIN, "dockhand"), arg], capture_output=True, text=True,
                                   env=dict(os.environ, BRINDLEX_ROOT=root), timeout=10)
                self.assertEqual((r.returncode, r.stderr), (0, ""), arg)
                self.assertTrue(r.stdout.startswith(expected), (arg, r.stdout))
            self.assertEqual(os.listdir(empty), [])
        self.assertIn(os.path.join(self.m.root, "store.db"), r.stdout)  # where the store is
        self.assertIsNone(server.poll())
        self.assertEqual(self.m.stop(server), 0)

    def stderr_until(self, p, text):
        # What the process wrote on standard error until text shows (bounded).
        out = b""
        deadline = time.monotonic() + 10
        while text.encode() not in out and time.monotonic() < deadline:
            if select.select([p.stderr], [], [], 0.1)[0]:
                out += os.read(p.stderr.fileno(), 4096) or b"(closed)"
        return out.decode()

    def test_busy_port_is_told_on_stderr_and_sighup_reloads_and_retries_it(self):
        for n, args in enumerate(((), ("service",))):
            blocker = socket.socket()
            blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            blocker.bind(("0.0.0.0", self.m.port))
            blocker.listen(1)
            p = self.m.start(*args, wait=False)
            text = self.stderr_until(p, "port %d" % self.m.port)
            self.assertIn("cannot listen on port %d: the port is in use" % self.m.port, text, args)
            # An account in the store only: no message to the server.
            user = "carol%d" % n
            self.m.reg("--no-notify", "set", "Users\\" + user, "Root", "--string", self.m.ftp)
            self.m.reg("--no-notify", "passwd", user, stdin="Carol123\n")
            blocker.close()
            p.send_signal(signal.SIGHUP)
            self.assertTrue(wait_until(lambda: port_open(self.m.port)), args)
            self.assertTrue(wait_until(lambda: can_login(self.m.port, user, "Carol123")), args)
            self.assertIsNone(p.poll(), args)
            self.assertEqual(self.m.stop(p), 0, args)
            rest = text + p.stderr.read().decode()
            self.assertEqual(rest.count("cannot listen"), 1, (args, rest))
