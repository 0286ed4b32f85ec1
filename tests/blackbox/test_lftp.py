"""lftp mirrors a tree of 200 files of random sizes up to the real server
and back down; every byte must survive both ways."""

import filecmp
import os
import random
import shutil
import subprocess
import unittest

from harness import Machine


def make_tree(top, count, rnd):
    for i in range(count):
        d = os.path.join(top, "d%d" % (i % 7), "e%d" % (i % 3))
        os.makedirs(d, exist_ok=True)
        size = rnd.choice([0, 1, 100, 8191, 8192, 8193, rnd.randrange(1, 300000)])
        with open(os.path.join(d, "f%03d.bin" % i), "wb") as f:
            f.write(rnd.randbytes(size))


def same_tree(a, b):
    cmp = filecmp.dircmp(a, b)
    if cmp.left_only or cmp.right_only or cmp.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(a, b, cmp.common_files, shallow=False)
    if mismatch or errors:
        return False
    return all(same_tree(os.path.join(a, d), os.path.join(b, d)) for d in cmp.common_dirs)


@unittest.skipUnless(shutil.which("lftp"), "lftp is not installed")
class LftpMirrorTest(unittest.TestCase):
    def setUp(self):
        self.m = Machine()
        self.m.add_user("carol", "mirror-pw")
        self.server = self.m.start("service")

    def tearDown(self):
        self.m.stop(self.server)
        self.m.close()

    def lftp(self, script):
        cmd = ["lftp", "-u", "carol,mirror-pw", "-p", str(self.m.port),
               "-e", "set net:max-retries 1; set net:timeout 20; set cmd:fail-exit yes; "
                     "set ftp:passive-mode on; " + script + "; quit",
               "127.0.0.1"]
        r = subprocess.run(cmd, capture_output=True, timeout=300, text=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def test_mirror_up_and_down(self):
        local = os.path.join(self.m.top, "local")
        back = os.path.join(self.m.top, "back")
        make_tree(local, 200, random.Random(1234))
        self.lftp("mirror -R %s tree" % local)
        self.assertTrue(same_tree(local, os.path.join(self.m.ftp, "tree")))
        self.lftp("mirror tree %s" % back)
        self.assertTrue(same_tree(local, back))


if __name__ == "__main__":
    unittest.main()
