"""curl against the real server: listing, download, upload, passive and
active (--ftp-port) data connections."""

import os
import shutil
import subprocess
import unittest

from harness import Machine


@unittest.skipUnless(shutil.which("curl"), "curl is not installed")
class CurlTest(unittest.TestCase):
    def setUp(self):
        self.m = Machine()
        self.m.add_user("bob", "pw")
        self.server = self.m.start("service")
        self.url = "ftp://bob:pw@127.0.0.1:%d/" % self.m.port

    def tearDown(self):
        self.m.stop(self.server)
        self.m.close()

    def curl(self, *args):
        r = subprocess.run(["curl", "-sS", "--max-time", "60", *args],
                           capture_output=True, timeout=90)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        return r.stdout

    def test_list_download_upload_passive_and_active(self):
        data = os.urandom(2 * 1024 * 1024 + 123)
        src = os.path.join(self.m.top, "up.bin")
        with open(src, "wb") as f:
            f.write(data)
        for mode in ([], ["--ftp-port", "127.0.0.1"]):
            name = "active.bin" if mode else "passive.bin"
            self.curl(*mode, "-T", src, self.url + name)
            with open(os.path.join(self.m.ftp, name), "rb") as f:
                self.assertEqual(f.read(), data)
            self.assertEqual(self.curl(*mode, self.url + name), data)
            # curl turns the listing's CR LF line ends into LF.
            listing = self.curl(*mode, self.url).decode().splitlines()
            self.assertTrue(any(l.startswith("-rwxrwxrwx") and l.endswith(" " + name)
                                for l in listing), listing)
            names = self.curl(*mode, "--list-only", self.url).decode().splitlines()
            self.assertIn(name, names)

    def test_resumed_download(self):
        data = os.urandom(100000)
        with open(os.path.join(self.m.ftp, "r.bin"), "wb") as f:
            f.write(data)
        self.assertEqual(self.curl("-C", "60000", self.url + "r.bin"), data[60000:])

    def test_missing_file_fails(self):
        r = subprocess.run(["curl", "-sS", "--max-time", "30", self.url + "nothing.bin"],
                           capture_output=True, timeout=60)
        self.assertNotEqual(r.returncode, 0)


if __name__ == "__main__":
    unittest.main()
