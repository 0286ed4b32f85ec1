"""What the administrator of a real machine meets: private log files,
passive ports and address from the store, brindlex-reg changes that reach a
running server."""

import ftplib
import io
import os
import stat
import time
import unittest

from harness import Machine, wait_until


class OperationsTest(unittest.TestCase):
    def setUp(self):
        self.m = Machine()
        # Failed logins are answered at once, so that polling for a login
        # that is about to work costs no extra time.
        self.m.reg("set", "System", "LoginFailDelay", "--dword", "0")

    def tearDown(self):
        self.m.close()

    def can_login(self, user, password):
        try:
            self.login(user, password).quit()
            return True
        except ftplib.error_perm:
            return False

    def pasv_address(self, ftp):
        reply = ftp.sendcmd("PASV")
        return ".".join(reply[reply.index("(") + 1:reply.index(")")].split(",")[:4])

    def within_two_seconds(self, predicate, what):
        started = time.monotonic()
        self.assertTrue(wait_until(predicate, timeout=2.0, step=0.05), what)
        self.assertLess(time.monotonic() - started, 2.0, what)

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
        self.assertIn("PASS ****", self.m.log_text())

    def test_passive_range_and_address_come_from_the_store(self):
        self.m.add_user("alice", "Secret12")
        low = self.m.port + 1  # the harness's ports are below the ephemeral range
        self.m.reg("set", "System", "PassivePorts", "--string", "%d-%d" % (low, low + 4))
        self.m.reg("set", "System", "PassiveAddress", "--string", "192.0.2.44")
        server = self.m.start("service")
        ftp = self.login()
        for _ in range(3):
            reply = ftp.sendcmd("PASV")
            numbers = [int(n) for n in reply[reply.index("(") + 1:reply.index(")")].split(",")]
            self.assertEqual(numbers[:4], [192, 0, 2, 44], reply)
            self.assertTrue(low <= numbers[4] * 256 + numbers[5] <= low + 4, reply)
        ftp.quit()
        self.assertEqual(self.m.stop(server), 0)

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
        self.m.reg("set", "SYSTEM", "PassiveAddress", "--string", "192.0.2.9")
        self.within_two_seconds(lambda: self.pasv_address(ftp) == "192.0.2.9", "System change")
        # Not announced: the server goes on with the accounts it has, even
        # after it has taken a later message.
        self.m.reg("--no-notify", "set", "Users\\alice", "Get", "--dword", "0")
        self.m.reg("set", "System", "PassiveAddress", "--string", "192.0.2.10")
        self.within_two_seconds(lambda: self.pasv_address(ftp) == "192.0.2.10", "second System change")
        ftp.quit()
        self.assertEqual(self.m.reg("get", "Users\\alice", "Get").stdout, "0\n")
        got = io.BytesIO()
        self.login().retrbinary("RETR f.txt", got.write)
        self.assertEqual(got.getvalue(), b"data")
        self.m.stop(server)


if __name__ == "__main__":
    unittest.main()
