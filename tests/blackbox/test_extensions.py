"""Real clients that need the protocol extensions (System value Extensions 1):
rclone, lftp, curl, ncftp and Python's ftplib each complete their
operations, and every file arrives byte-exact."""

import calendar
import ftplib
import os
import random
import shutil
import subprocess
import time
import unittest

import test_lftp
from harness import Machine

same_tree = test_lftp.same_tree

USER, PASSWORD = "eve", "ext-pw"
STAMP = calendar.timegm((2001, 2, 3, 4, 5, 6))  # an old, whole-second time


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def files_below(top):
    return sorted(os.path.join(d, n) for d, _, names in os.walk(top) for n in names)


class ExtensionsServer(unittest.TestCase):
    """One server with the extensions on for each test."""

    client = None  # the program the test class drives

    def setUp(self):
        if self.client and not shutil.which(self.client):
            self.skipTest("%s is not installed" % self.client)
        self.m = Machine()
        self.m.reg("set", "System", "Extensions", "--dword", "1")
        self.m.add_user(USER, PASSWORD)
        self.server = self.m.start("service")
        self.rnd = random.Random(self.id())
        self.local = os.path.join(self.m.top, "local")
        os.makedirs(self.local)

    def tearDown(self):
        self.m.stop(self.server)
        self.m.close()

    def run_client(self, args, **kw):
        r = subprocess.run(args, capture_output=True, text=True, timeout=300, **kw)
        self.assertEqual(r.returncode, 0, "%s\n%s%s" % (" ".join(args), r.stdout, r.stderr))
        return r

    def served(self, rel):
        return os.path.join(self.m.ftp, rel)


class RcloneTest(ExtensionsServer):
    client = "rclone"

    def rclone(self, *args):
        obscured = subprocess.run(["rclone", "obscure", PASSWORD], capture_output=True,
                                  text=True, check=True).stdout.strip()
        env = dict(os.environ, RCLONE_CONFIG=os.path.join(self.m.top, "rclone.conf"),
                   RCLONE_CONFIG_BX_TYPE="ftp", RCLONE_CONFIG_BX_HOST="127.0.0.1",
                   RCLONE_CONFIG_BX_PORT=str(self.m.port), RCLONE_CONFIG_BX_USER=USER,
                   RCLONE_CONFIG_BX_PASS=obscured, HOME=self.m.top)
        return self.run_client(["rclone", "--low-level-retries", "1", "--retries", "1", *args],
                               env=env)

    def test_mkdir_copy_into_a_new_nested_directory_sync_and_check(self):
        self.rclone("mkdir", "bx:made/deep")
        self.assertTrue(os.path.isdir(self.served("made/deep")))
        test_lftp.make_tree(self.local, 12, self.rnd)
        self.rclone("copy", self.local, "bx:new/nested/dir")
        self.assertTrue(same_tree(self.local, self.served("new/nested/dir")))
        # Change one file, add one, remove one: sync makes the copy equal.
        changed, removed = files_below(self.local)[:2]
        write(changed, self.rnd.randbytes(5000))
        write(os.path.join(self.local, "d0", "added.bin"), self.rnd.randbytes(777))
        os.remove(removed)
        self.rclone("sync", self.local, "bx:new/nested/dir")
        self.assertTrue(same_tree(self.local, self.served("new/nested/dir")))
        self.rclone("check", self.local, "bx:new/nested/dir")


class LftpTest(ExtensionsServer):
    client = "lftp"

    def lftp(self, script):
        return self.run_client(
            ["lftp", "-u", "%s,%s" % (USER, PASSWORD), "-p", str(self.m.port), "-e",
             "set net:max-retries 1; set net:timeout 20; set cmd:fail-exit yes; "
             "set xfer:clobber on; " + script + "; quit", "127.0.0.1"])

    def test_put_resumes_an_upload(self):
        data = self.rnd.randbytes(3_000_000)
        write(os.path.join(self.local, "big.bin"), data)
        # The part already on the server is marked, so a resent whole file
        # would show.
        write(self.served("big.bin"), b"\0" * 1_000_000)
        self.lftp("lcd %s; put -c big.bin" % self.local)
        self.assertEqual(read(self.served("big.bin")), b"\0" * 1_000_000 + data[1_000_000:])

    def test_pget_in_four_streams_is_byte_exact(self):
        data = self.rnd.randbytes(6_000_000)
        write(self.served("big.bin"), data)
        trace = os.path.join(self.m.top, "lftp.trace")
        # Each stream is held to 2 MB/s, so that on loopback the first one
        # cannot finish the file before the others have started their parts.
        self.lftp("debug -o %s 9; set net:limit-rate 2000000; lcd %s; pget -n 4 big.bin"
                  % (trace, self.local))
        self.assertEqual(read(os.path.join(self.local, "big.bin")), data)
        # Knowing the size, pget opens more sessions.
        with open(trace, errors="replace") as f:
            sessions = f.read().count("---> USER ")
        self.assertGreater(sessions, 1, "pget used one stream only")

    def test_mirror_keeps_the_timestamps(self):
        tree, copy = self.served("tree"), os.path.join(self.local, "tree")
        test_lftp.make_tree(tree, 12, self.rnd)
        for path in files_below(tree):
            os.utime(path, (STAMP, STAMP))
        self.lftp("mirror tree %s" % copy)
        self.assertTrue(same_tree(tree, copy))
        for path in files_below(copy):
            self.assertEqual(int(os.stat(path).st_mtime), STAMP, path)


class CurlTest(ExtensionsServer):
    client = "curl"

    def test_upload_resumes_where_the_server_copy_ends(self):
        data = self.rnd.randbytes(2_000_000)
        write(os.path.join(self.local, "up.bin"), data)
        write(self.served("up.bin"), b"\xff" * 700_000)
        self.run_client(["curl", "-sS", "--max-time", "120", "-C", "-", "-T",
                         os.path.join(self.local, "up.bin"),
                         "ftp://%s:%s@127.0.0.1:%d/up.bin" % (USER, PASSWORD, self.m.port)])
        self.assertEqual(read(self.served("up.bin")), b"\xff" * 700_000 + data[700_000:])


class NcftpTest(ExtensionsServer):
    client = "ncftpget"

    def test_recursive_get_of_a_two_level_tree(self):
        tree = self.served("top")
        test_lftp.make_tree(tree, 12, self.rnd)  # files two directories down
        self.run_client(["ncftpget", "-R", "-t", "60", "-u", USER, "-p", PASSWORD, "-P",
                         str(self.m.port), "127.0.0.1", self.local, "/top"])
        self.assertTrue(same_tree(tree, os.path.join(self.local, "top")))


class FtplibTest(ExtensionsServer):
    def connect(self):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.m.port, timeout=20)
        ftp.login(USER, PASSWORD)
        self.addCleanup(ftp.close)
        return ftp

    def test_mlsd_gives_type_size_and_time(self):
        write(self.served("d/a.txt"), b"12345")
        os.makedirs(self.served("d/inner"))
        os.utime(self.served("d/a.txt"), (STAMP, STAMP))
        ftp = self.connect()
        entries = dict(ftp.mlsd("d"))
        self.assertEqual(sorted(entries), ["a.txt", "inner"])
        self.assertEqual(entries["a.txt"]["type"], "file")
        self.assertEqual(entries["a.txt"]["size"], "5")
        self.assertEqual(entries["a.txt"]["modify"], "20010203040506")
        self.assertEqual(entries["inner"]["type"], "dir")
        only = dict(ftp.mlsd("d", facts=["size"]))
        self.assertEqual(only["a.txt"], {"size": "5"})

    def test_abort_ends_a_download_and_the_session_goes_on(self):
        data = self.rnd.randbytes(64 * 1024 * 1024)
        write(self.served("big.bin"), data)
        ftp = self.connect()
        ftp.voidcmd("TYPE I")
        conn = ftp.transfercmd("RETR big.bin")
        conn.recv(8192)
        started = time.monotonic()
        reply = ftp.abort()
        self.assertLess(time.monotonic() - started, 10, "abort waited for its time-out")
        self.assertEqual(reply[:3], "426")
        conn.close()
        self.assertEqual(ftp.getresp()[:3], "226")
        received = bytearray()
        ftp.retrbinary("RETR big.bin", received.extend)
        self.assertEqual(bytes(received), data)


if __name__ == "__main__":
    unittest.main()
