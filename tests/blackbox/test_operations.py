"""What the administrator of a real machine meets: private log files,
passive ports and address from the store."""

import ftplib
import io
import os
import stat
import unittest

from harness import Machine


class OperationsTest(unittest.TestCase):
    def setUp(self):
        self.m = Machine()

    def tearDown(self):
        self.m.close()

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


if __name__ == "__main__":
    unittest.main()
