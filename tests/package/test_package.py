# The Debian package that `cpack -G DEB` makes: what it installs, what it
# depends on, manual pages that render without warnings, and a sample set-up
# script that really sets up a server's store.

import glob
import os
import pwd
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.environ["BRINDLEX_BUILD_DIR"]
SOURCE = os.environ["BRINDLEX_SOURCE_DIR"]


def run(*args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=300, **kw)


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.top = tempfile.mkdtemp(prefix="bx-package-")
        cls.addClassCleanup(shutil.rmtree, cls.top, True)
        r = run(os.environ.get("CPACK", "cpack"), "-G", "DEB", "-B", cls.top,
                "--config", os.path.join(BUILD, "CPackConfig.cmake"))
        debs = glob.glob(os.path.join(cls.top, "*.deb"))
        if r.returncode != 0 or len(debs) != 1:
            raise AssertionError("cpack failed:\n" + r.stdout + r.stderr)
        cls.deb = debs[0]
        cls.tree = os.path.join(cls.top, "tree")
        run("dpkg-deb", "-x", cls.deb, cls.tree).check_returncode()

    def test_files_and_dependencies(self):
        listed = {line.split()[-1] for line in run("dpkg-deb", "-c", self.deb).stdout.splitlines()}
        expected = ["./usr/bin/" + p for p in ("dockhand", "kelpwatch", "brindlex-reg")]
        expected += ["./usr/share/man/man8/%s.8.gz" % p for p in ("dockhand", "kelpwatch", "brindlex-reg")]
        expected += ["./usr/share/applications/brindlex.desktop", "./usr/share/doc/brindlex/examples/setup-server.sh",
                     "./usr/share/doc/brindlex/examples/haproxy-brindlex.cfg",
                     "./usr/share/doc/brindlex/examples/prometheus.yml"]
        for name in ("brindlex.html", "brindlex.png"):  # the window's, where it has them
            if os.path.exists(os.path.join(SOURCE, "admin", "resources", name)):
                expected.append("./usr/share/brindlex/" + name)
        self.assertEqual([p for p in expected if p not in listed], [])
        self.assertEqual([p for p in listed if not p.startswith("./usr/")], [])
        depends = run("dpkg-deb", "-f", self.deb, "Depends").stdout
        for library in ("libc6", "libmd0", "libsqlite3-0", "libsystemd0", "libstdc++6", "passwd"):
            self.assertIn(library, depends)

    def test_maintainer_script_creates_the_user(self):
        # The package's postinst, run into a copy of this machine's user
        # database (DPKG_ROOT), twice: one system user and group brindlex
        # without a shell, owning the store's and the log's directories.
        control = os.path.join(self.top, "control")
        run("dpkg-deb", "-e", self.deb, control).check_returncode()
        root = tempfile.mkdtemp(prefix="bx-dpkgroot-")
        self.addCleanup(shutil.rmtree, root, True)
        os.makedirs(os.path.join(root, "etc"))
        for name in ("passwd", "group", "shadow", "gshadow"):
            shutil.copy(os.path.join("/etc", name), os.path.join(root, "etc"))
        os.makedirs(os.path.join(root, "var/lib/brindlex"))
        with open(os.path.join(root, "var/lib/brindlex/store.db"), "w"):
            pass  # a store root wrote before the package came
        for _ in range(2):
            r = run(os.path.join(control, "postinst"), "configure", env=dict(os.environ, DPKG_ROOT=root))
            self.assertEqual(r.returncode, 0, r.stderr)
        users = [l.split(":") for l in open(os.path.join(root, "etc/passwd")) if l.startswith("brindlex:")]
        groups = [l.split(":") for l in open(os.path.join(root, "etc/group")) if l.startswith("brindlex:")]
        self.assertEqual((len(users), len(groups)), (1, 1))
        uid, gid, shell = int(users[0][2]), int(users[0][3]), users[0][6].strip()
        self.assertEqual((gid, shell), (int(groups[0][2]), "/usr/sbin/nologin"))
        self.assertLess(uid, 1000)  # a system user
        for path in ("var/lib/brindlex", "var/log/brindlex", "var/lib/brindlex/store.db"):
            st = os.stat(os.path.join(root, path))
            self.assertEqual((st.st_uid, st.st_gid), (uid, gid), path)
        self.assertEqual(os.stat(os.path.join(root, "var/log/brindlex")).st_mode & 0o777, 0o750)

    def test_manual_pages_render_without_warnings(self):
        for page in ("dockhand", "kelpwatch", "brindlex-reg"):
            path = os.path.join(self.tree, "usr/share/man/man8", page + ".8.gz")
            r = run("man", "--warnings", "-l", path, env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
            self.assertEqual((r.returncode, r.stderr), (0, ""), page)
            self.assertIn(page.upper() + "(8)", r.stdout, page)

    def test_sample_script_sets_up_a_server(self):
        top = tempfile.mkdtemp(prefix="bx-setup-")
        self.addCleanup(shutil.rmtree, top, True)
        reg = os.path.join(BUILD, "bin", "brindlex-reg")
        env = dict(os.environ, BRINDLEX_ROOT=os.path.join(top, "machine"), REG=reg,
                   FTP_ROOT=os.path.join(top, "ftp"), WORK_DIR=os.path.join(top, "work"),
                   LOG_DIR=os.path.join(top, "log"), FTP_USER="alice", PASSIVE_ADDRESS="203.0.113.5",
                   RUN_AS="nobody")
        os.makedirs(env["BRINDLEX_ROOT"])
        script = os.path.join(self.tree, "usr/share/doc/brindlex/examples/setup-server.sh")
        r = run(script, env=env, input="Alice123\n")
        self.assertEqual(r.returncode, 0, r.stderr)
        for key, value, expected in (("System", "Port", "21"),
                                     ("System", "PassivePorts", "50000-50099"),
                                     ("System", "PassiveAddress", "203.0.113.5"),
                                     ("System", "Extensions", "1"),
                                     ("System", "LoginTimeout", "60"),
                                     ("System", "IdleTimeout", "900"),
                                     ("System", "DataTimeout", "300"),
                                     ("Path", "App", "/usr/bin/dockhand"),
                                     ("Path", "Service", "/usr/bin/kelpwatch"),
                                     ("Log", "TRACE0", "0"),
                                     ("Log", "TRACE4", "0"),
                                     ("Users\\anonymous", "Anonymous", "1"),
                                     ("Users\\anonymous", "Put", "0"),
                                     ("Users\\alice", "Root", env["FTP_ROOT"]),
                                     ("Users\\alice", "Put", "1")):
            self.assertEqual(run(reg, "get", key, value, env=env).stdout.strip(), expected, key + " " + value)
        digest = run(reg, "get", "Users\\alice", "PW", env=env).stdout.strip()
        self.assertTrue(digest and "Alice123" not in digest, digest)
        for d in ("ftp/pub", "ftp/incoming", "work/welcome.txt"):
            self.assertTrue(os.path.exists(os.path.join(top, d)), d)
        if os.geteuid() == 0:  # the roots and the log belong to the server's user
            nobody = pwd.getpwnam("nobody").pw_uid
            for d in ("ftp", "ftp/pub", "ftp/incoming", "log"):
                self.assertEqual(os.stat(os.path.join(top, d)).st_uid, nobody, d)


if __name__ == "__main__":
    unittest.main()
