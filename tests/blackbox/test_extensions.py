# Real clients that need the protocol extensions (System value Extensions 1):
# rclone, lftp, curl and ncftp each complete their operations, and every file
# arrives byte-exact. MLSD facts and ABOR are checked on the socket in
# tests/server/extensions_test.cpp.

import calendar
import os
import subprocess

from harness import PASSWORD, USER, ServerTest, files_below, make_tree, read, tree, write

STAMP = calendar.timegm((2001, 2, 3, 4, 5, 6))  # an old, whole-second time


class ExtensionsTest(ServerTest):
    extensions = True


class RcloneTest(ExtensionsTest):
    client = "rclone"

    def rclone(self, *args):
        obscured = subprocess.run(["rclone", "obscure", PASSWORD], capture_output=True,
                                  text=True, check=True).stdout.strip()
        env = dict(os.environ, RCLONE_CONFIG=os.path.join(self.m.top, "rclone.conf"),
                   RCLONE_CONFIG_BX_TYPE="ftp", RCLONE_CONFIG_BX_HOST="127.0.0.1",
                   RCLONE_CONFIG_BX_PORT=str(self.m.port), RCLONE_CONFIG_BX_USER=USER,
                   RCLONE_CONFIG_BX_PASS=obscured, HOME=self.m.top)
        self.run_client("rclone", "--low-level-retries", "1", "--retries", "1", *args, env=env)

    def test_mkdir_copy_into_a_new_nested_directory_sync_and_check(self):
        self.rclone("mkdir", "bx:made/deep")
        self.assertTrue(os.path.isdir(self.served("made/deep")))
        make_tree(self.local, 12, self.rnd)
        self.rclone("copy", self.local, "bx:new/nested/dir")
        self.assertTrue(tree(self.local) == tree(self.served("new/nested/dir")))
        # Change one file, add one, remove one: sync makes the copy equal.
        changed, removed = files_below(self.local)[:2]
        write(changed, self.rnd.randbytes(5000))
        write(os.path.join(self.local, "d0", "added.bin"), self.rnd.randbytes(777))
        os.remove(removed)
        self.rclone("sync", self.local, "bx:new/nested/dir")
        self.assertTrue(tree(self.local) == tree(self.served("new/nested/dir")))
        self.rclone("check", self.local, "bx:new/nested/dir")


class LftpTest(ExtensionsTest):
    client = "lftp"

    def test_pget_in_four_streams_and_mirror_with_timestamps(self):
        data = self.rnd.randbytes(6_000_000)
        write(self.served("big.bin"), data)
        trace = os.path.join(self.m.top, "lftp.trace")
        # Each stream is held to 2 MB/s, so that on loopback the first one
        # cannot finish the file before the others have started their parts.
        self.lftp("debug -o %s 9; set net:limit-rate 2000000; lcd %s; pget -n 4 big.bin"
                  % (trace, self.local))
        self.assertEqual(read(os.path.join(self.local, "big.bin")), data)
        # Knowing the size, pget opens more sessions.
        self.assertGreater(read(trace).count(b"---> USER "), 1, "pget used one stream only")
        # mirror keeps the timestamps.
        copy = os.path.join(self.local, "tree")
        make_tree(self.served("tree"), 12, self.rnd)
        for path in files_below(self.served("tree")):
            os.utime(path, (STAMP, STAMP))
        self.lftp("mirror tree %s" % copy)
        self.assertTrue(tree(self.served("tree")) == tree(copy))
        for path in files_below(copy):
            self.assertEqual(int(os.stat(path).st_mtime), STAMP, path)


class CurlTest(ExtensionsTest):
    client = "curl"

    def test_upload_resumes_where_the_server_copy_ends(self):
        data = self.rnd.randbytes(2_000_000)
        write(os.path.join(self.local, "up.bin"), data)
        write(self.served("up.bin"), b"\xff" * 700_000)
        self.run_client("curl", "-sS", "--max-time", "120", "-C", "-", "-T",
                        os.path.join(self.local, "up.bin"), self.url + "up.bin")
        self.assertEqual(read(self.served("up.bin")), b"\xff" * 700_000 + data[700_000:])


class NcftpTest(ExtensionsTest):
    client = "ncftpget"

    def test_recursive_get_of_a_two_level_tree(self):
        make_tree(self.served("top"), 12, self.rnd)  # files two directories down
        self.run_client("ncftpget", "-R", "-t", "60", "-u", USER, "-p", PASSWORD, "-P",
                        str(self.m.port), "127.0.0.1", self.local, "/top")
        self.assertTrue(tree(self.served("top")) == tree(os.path.join(self.local, "top")))

