"""Python's ftplib against the real server: login, listings, rename,
delete, directories. Byte-exact transfers are shown by curl, lftp and the
socket-level transfer tests."""

import ftplib
import io
import os
import unittest

from harness import Machine


class FtplibTest(unittest.TestCase):
    def setUp(self):
        self.m = Machine()
        self.m.add_user("alice", "Secret12")
        self.m.add_user("anonymous", anonymous=True, perms=("List", "Get"))
        self.server = self.m.start("service")
        self.ftp = ftplib.FTP()
        self.ftp.connect("127.0.0.1", self.m.port, timeout=10)

    def tearDown(self):
        try:
            self.ftp.close()
        finally:
            self.m.stop(self.server)
            self.m.close()

    def test_listing_rename_delete_and_directories(self):
        self.ftp.login("alice", "Secret12")
        self.ftp.storbinary("STOR a.txt", io.BytesIO(b"hello"))
        self.assertEqual(self.ftp.mkd("sub"), "")  # 250 reply, no quoted name
        self.ftp.cwd("sub")
        self.assertEqual(self.ftp.pwd(), "/sub")
        self.ftp.cwd("..")
        self.assertEqual(sorted(self.ftp.nlst()), ["a.txt", "sub"])
        lines = []
        self.ftp.retrlines("LIST", lines.append)
        self.assertTrue(any(l.startswith("-rwxrwxrwx") and l.endswith(" a.txt") for l in lines), lines)
        self.assertTrue(any(l.startswith("drwxrwxrwx") and l.endswith(" sub") for l in lines), lines)
        self.ftp.rename("a.txt", "sub/b.txt")
        self.assertTrue(os.path.exists(os.path.join(self.m.ftp, "sub", "b.txt")))
        with self.assertRaises(ftplib.error_perm):
            self.ftp.rmd("sub")  # not empty
        self.ftp.delete("sub/b.txt")
        self.ftp.rmd("sub")
        self.assertEqual(self.ftp.nlst(), [])

    def test_wrong_password_and_case_sensitive_password(self):
        with self.assertRaises(ftplib.error_perm) as e:
            self.ftp.login("alice", "secret12")
        self.assertTrue(str(e.exception).startswith("530"))
        self.ftp.login("ALICE", "Secret12")  # names are not case-sensitive

    def test_anonymous_is_read_only(self):
        with open(os.path.join(self.m.ftp, "pub.txt"), "wb") as f:
            f.write(b"public")
        self.ftp.login()  # anonymous with an e-mail style password
        got = io.BytesIO()
        self.ftp.retrbinary("RETR pub.txt", got.write)
        self.assertEqual(got.getvalue(), b"public")
        with self.assertRaises(ftplib.error_temp):  # 450 No permission.
            self.ftp.storbinary("STOR x.txt", io.BytesIO(b"x"))
        self.assertFalse(os.path.exists(os.path.join(self.m.ftp, "x.txt")))


if __name__ == "__main__":
    unittest.main()
