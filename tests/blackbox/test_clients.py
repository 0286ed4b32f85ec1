# curl, lftp and Python's ftplib against the real server without the
# protocol extensions; every byte survives both ways.

import ftplib
import io
import os

from harness import ServerTest, can_login, login, make_tree, read, retr, tree, wait_until, write


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


class FtplibTest(ServerTest):
    def test_listing_rename_delete_and_directories(self):
        ftp = self.login()
        ftp.storbinary("STOR a.txt", io.BytesIO(b"hello"))
        self.assertEqual(ftp.mkd("sub"), "")  # 250 reply, no quoted name
        ftp.cwd("sub")
        self.assertEqual(ftp.pwd(), "/sub")
        ftp.cwd("..")
        self.assertEqual(sorted(ftp.nlst()), ["a.txt", "sub"])
        lines = []
        ftp.retrlines("LIST", lines.append)
        self.assertTrue(any(l.startswith("-rwxrwxrwx") and l.endswith(" a.txt") for l in lines), lines)
        self.assertTrue(any(l.startswith("drwxrwxrwx") and l.endswith(" sub") for l in lines), lines)
        ftp.rename("a.txt", "sub/b.txt")
        self.assertEqual(read(self.served("sub/b.txt")), b"hello")
        with self.assertRaises(ftplib.error_perm):
            ftp.rmd("sub")  # not empty
        ftp.delete("sub/b.txt")
        ftp.rmd("sub")
        self.assertEqual(ftp.nlst(), [])

    def test_anonymous_reads_but_cannot_write(self):
        write(self.served("pub.txt"), b"public")
        self.m.add_user("anonymous", anonymous=True, perms=("List", "Get"))
        # No password: ftplib sends an e-mail style one.
        self.assertTrue(wait_until(lambda: can_login(self.m.port, "anonymous", "")))
        with login(self.m.port, "anonymous", "") as ftp:
            self.assertEqual(retr(ftp, "pub.txt"), b"public")
            with self.assertRaises(ftplib.error_temp):  # 450 No permission.
                ftp.storbinary("STOR x.txt", io.BytesIO(b"x"))
        self.assertFalse(os.path.exists(self.served("x.txt")))
