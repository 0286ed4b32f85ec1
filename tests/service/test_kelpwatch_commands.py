"""kelpwatch's command line: installing and removing the service unit, with
the exact lines it prints and its exit codes."""

import datetime
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from service_harness import KELPWATCH, USAGE, ServiceMachine

NEW_UNIT = ("[Unit]\nDescription=Brindlex\n\n[Service]\nType=notify\nExecStart=%s\nKillMode=mixed\n\n"
            "[Install]\nWantedBy=multi-user.target\n")


class CommandsTest(unittest.TestCase):
    def setUp(self):
        self.m = ServiceMachine()

    def tearDown(self):
        self.m.close()

    def verify(self):
        tool = shutil.which("systemd-analyze")
        if not tool:
            print("systemd-analyze not installed: the unit is not verified")
            return
        r = subprocess.run([tool, "verify", self.m.unit], capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_command_line_table(self):
        rows = [
            # arguments, standard output, exit code, unit present afterwards
            ((), "", 1, False),
            (("x",), USAGE, 1, False),
            (("install", "remove"), USAGE, 1, False),
            (("Remove",), "failure: OpenService (0x424))\n", 1, False),
            (("install",), "CreateService SUCCESS\n", 0, True),
            (("INSTALL",), "ChangeServiceConfig SUCCESS\n", 0, True),
            (("x",), USAGE, 1, True),
            (("Remove",), "DeleteService SUCCESS\n", 0, False),
            (("remove",), "failure: OpenService (0x424))\n", 1, False),
        ]
        for args, out, code, present in rows:
            self.assertEqual(self.m.kelpwatch(*args), (code, out), args)
            self.assertEqual(os.path.exists(self.m.unit), present, args)

    def test_unit_file_written_then_rewritten_keeping_other_lines(self):
        self.assertEqual(self.m.kelpwatch("install"), (0, "CreateService SUCCESS\n"))
        with open(self.m.unit) as f:
            self.assertEqual(f.read(), NEW_UNIT % KELPWATCH)
        self.verify()

        # Program and description follow the store, here a path that needs
        # quoting and escaping; the administrator's own lines stay.
        odd_dir = os.path.join(self.m.top, "odd dir 100%")
        os.makedirs(odd_dir)
        odd = os.path.join(odd_dir, "kelpwatch")
        os.symlink(KELPWATCH, odd)
        self.m.reg("set", "Path", "Service", "--string", odd)
        exe = '"%s"' % odd.replace("%", "%%")
        rows = [
            # unit as edited, unit after "install"
            ("[Unit]\nDescription=old \\\n  words\nAfter=network.target\n"
             "[Service]\nType=notify\nExecStart=/old/one\nExecStart=/old/two\nRestart=always\n"
             "[Install]\nWantedBy=multi-user.target\n",
             "[Unit]\nDescription=Brindlex\nAfter=network.target\n"
             "[Service]\nType=notify\nExecStart=%s\nRestart=always\n"
             "[Install]\nWantedBy=multi-user.target\n" % exe),
            ("[Service]\nType=notify\n# ExecStart=/commented\nExecStart = /spaced\n\n"
             "[Install]\nWantedBy=multi-user.target\n",
             "[Service]\nType=notify\n# ExecStart=/commented\nExecStart=%s\n\n"
             "[Install]\nWantedBy=multi-user.target\n\n[Unit]\nDescription=Brindlex\n" % exe),
            ("[Unit]\nAfter=network.target\n\n[Service]\nType=notify\nNice=5\n\n"
             "[Install]\nWantedBy=multi-user.target\n",
             "[Unit]\nAfter=network.target\nDescription=Brindlex\n\n[Service]\nType=notify\nNice=5\n"
             "ExecStart=%s\n\n[Install]\nWantedBy=multi-user.target\n" % exe),
        ]
        for edited, expected in rows:
            with open(self.m.unit, "w") as f:
                f.write(edited)
            self.assertEqual(self.m.kelpwatch("install"), (0, "ChangeServiceConfig SUCCESS\n"), edited)
            with open(self.m.unit) as f:
                self.assertEqual(f.read(), expected, edited)
            self.verify()

    def test_refusals(self):
        rows = [
            # Service path, standard output
            ("", "failure: ServicePath is null or not set\n" * 2),
            ("/usr/bin/x\nExecStartPre=/bin/evil", "failure: CreateService (0x57)\n"),
            ("bin/kelpwatch", "failure: CreateService (0x57)\n"),
            ("/opt/caf\udce9/kelpwatch", "failure: CreateService (0x57)\n"),  # Latin-1, not UTF-8
        ]
        for path, out in rows:
            self.m.reg("set", "Path", "Service", "--string", path)
            self.assertEqual(self.m.kelpwatch("install"), (1, out), path)
            self.assertFalse(os.path.exists(self.m.unit), path)

    def test_unwritable_unit_directory(self):
        if os.geteuid() == 0:
            if not shutil.which("setpriv"):
                self.skipTest("setpriv is needed to drop root")
            # Another user, who may not even look into the machine directory,
            # runs a copy of the program that it can reach.
            shared = tempfile.mkdtemp(prefix="bx-kelpwatch-")
            self.addCleanup(shutil.rmtree, shared, True)
            os.chmod(shared, 0o755)
            copy = shutil.copy(KELPWATCH, shared)
            cmd = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", copy]
        else:
            os.makedirs(os.path.dirname(self.m.unit))
            os.chmod(os.path.dirname(self.m.unit), 0o555)
            cmd = [KELPWATCH]
        for word in ("install", "remove", "x"):
            r = subprocess.run(cmd + [word], env=self.m.env, capture_output=True, text=True, timeout=60)
            self.assertEqual((r.returncode, r.stdout), (1, "failure: OpenSCManager (0x05)\n"), word)

    def test_diagnostic_log_switch(self):
        self.m.reg("set", "Path", "Log", "--string", self.m.logdir)
        self.m.kelpwatch("install")
        self.assertEqual([n for n in os.listdir(self.m.logdir) if n.endswith(".sog")], [])

        self.m.reg("set", "Path", "Trace", "--dword", "1")
        before = datetime.date.today()
        self.m.kelpwatch("remove")
        names = [n for n in os.listdir(self.m.logdir) if n.endswith(".sog")]
        days = {d.strftime("%y%m%d.sog") for d in (before, datetime.date.today())}
        self.assertEqual(len(names), 1)
        self.assertIn(names[0], days)
        with open(os.path.join(self.m.logdir, names[0]), "rb") as f:
            lines = f.read().decode().split("\n")
        self.assertEqual(lines[-1], "")
        stamp = r"\d\d/\d\d \d\d:\d\d:\d\d "
        self.assertTrue(all(re.fullmatch(stamp + ".*", l) for l in lines[:-1]), lines)
        self.assertEqual([l[15:] for l in lines[4:7]], ["argc: 2", "argv[1]: remove", "DeleteService SUCCESS"])


if __name__ == "__main__":
    unittest.main()
