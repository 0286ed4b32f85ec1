# curl and lftp against the real server without the protocol extensions;
# every byte survives both ways. The replies themselves, anonymous logins and
# refusals are checked on the socket in tests/server.

import os

from harness import ServerTest, make_tree, read, tree, write


class CurlTest(ServerTest):
    client = "curl"

    def curl(self, *args, ok=True):
        return self.run_client("curl", "-sS", "--max-time", "60", *args, ok=ok)

    def test_upload_download_resume_and_listings_passive_and_active(self):
        data = self.rnd.randbytes(2 * 1024 * 1024 + 123)
        src = os.path.join(self.local, "up.bin")
        write(src, data)
        for mode in ([], ["--ftp-port", "127.0.0.1"]):
            name = "active.bin" if mode else "passive.bin"
            with self.subTest(name):
                self.curl(*mode, "-T", src, self.url + name)
                self.assertEqual(read(self.served(name)), data)
                self.assertEqual(self.curl(*mode, self.url + name), data)
                self.assertEqual(self.curl(*mode, "-C", "60000", self.url + name), data[60000:])
                # curl turns the listing's CR LF line ends into LF.
                listing = self.curl(*mode, self.url).decode().splitlines()
                self.assertTrue(any(l.startswith("-rwxrwxrwx") and l.endswith(" " + name)
                                    for l in listing), listing)
                self.assertIn(name, self.curl(*mode, "--list-only", self.url).decode().splitlines())
                self.curl(*mode, self.url + "nothing.bin", ok=False)


class LftpTest(ServerTest):
    client = "lftp"

    def test_mirror_up_and_down(self):
        back = os.path.join(self.m.top, "back")
        make_tree(self.local, 200, self.rnd)
        self.lftp("mirror -R %s tree" % self.local)
        self.assertTrue(tree(self.local) == tree(self.served("tree")))
        self.lftp("mirror tree %s" % back)
        self.assertTrue(tree(self.local) == tree(back))

