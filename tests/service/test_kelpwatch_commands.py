"""kelpwatch's command line: installing and removing the service unit, with
the exact lines it prints and its exit codes."""

import datetime
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from service_harness import KELPWATCH, ServiceMachine

USAGE = ("usage: kelpwatch install\n"
         "           to install the kelpwatch service, or:\n"
         "       kelpwatch remove\n"
         "           to remove the kelpwatch service\n")
NEW_UNIT = ("[Unit]\nDescription=Brindlex\n\n[Service]\nType=notify\nExecStart=%s\nKillMode=mixed\n\n"
            "[Install]\nWantedBy=multi-user.target\n" % KELPWATCH)
MISSING = "failure: OpenService (0x424))\n"
REFUSED = "failure: CreateService (0x57)\n"


class CommandsTest(unittest.TestCase):
    def setUp(self):
        self.m = ServiceMachine()
        self.addCleanup(self.m.close)

    def unit(self):
        """The unit file's text, or None; a unit is checked by systemd-analyze where it is installed."""
        if not os.path.exists(self.m.unit):
            return None
        tool = shutil.which("systemd-analyze")
        if tool:
            r = subprocess.run([tool, "verify", self.m.unit], capture_output=True, text=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr)
        with open(self.m.unit) as f:
            return f.read()

    def test_command_line_table(self):
        rows = [
            # "Path" "Service" value (None: unchanged), arguments, standard output, exit code, unit afterwards
            (None, (), "", 1, None),
            (None, ("x",), USAGE, 1, None),
            (None, ("install", "remove"), USAGE, 1, None),
            (None, ("Remove",), MISSING, 1, None),
            ("", ("install",), "failure: ServicePath is null or not set\n" * 2, 1, None),
            ("/usr/bin/x\nExecStartPre=/bin/evil", ("install",), REFUSED, 1, None),
            ("bin/kelpwatch", ("install",), REFUSED, 1, None),
            ("/opt/caf\udce9/kelpwatch", ("install",), REFUSED, 1, None),  # Latin-1, not UTF-8
            (KELPWATCH, ("install",), "CreateService SUCCESS\n", 0, NEW_UNIT),
            (None, ("INSTALL",), "ChangeServiceConfig SUCCESS\n", 0, NEW_UNIT),
            (None, ("x",), USAGE, 1, NEW_UNIT),
            (None, ("Remove",), "DeleteService SUCCESS\n", 0, None),
            (None, ("remove",), MISSING, 1, None),
        ]
        for path, args, out, code, unit in rows:
            if path is not None:
                self.m.reg("set", "Path", "Service", "--string", path)
            self.assertEqual(self.m.kelpwatch(*args), (code, out), (path, args))
            self.assertEqual(self.unit(), unit, (path, args))

    def test_install_rewrites_a_unit_keeping_other_lines(self):
        # Program and description follow the store, here a path that needs
        # quoting and escaping; the administrator's own lines stay.
        odd_dir = os.path.join(self.m.top, "odd dir 100%")
        os.makedirs(odd_dir)
        odd = os.path.join(odd_dir, "kelpwatch")
        os.symlink(KELPWATCH, odd)
        self.m.reg("set", "Path", "Service", "--string", odd)
        os.makedirs(os.path.dirname(self.m.unit))
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
            self.assertEqual(self.unit(), expected, edited)

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
        self.assertIn(names, [[d.strftime("%y%m%d.sog")] for d in (before, datetime.date.today())])
        with open(os.path.join(self.m.logdir, names[0]), "rb") as f:
            lines = f.read().decode().split("\n")
        self.assertEqual(lines[-1], "")
        stamp = r"\d\d/\d\d \d\d:\d\d:\d\d "
        self.assertTrue(all(re.fullmatch(stamp + ".*", l) for l in lines[:-1]), lines)
        self.assertEqual([l[15:] for l in lines[4:7]], ["argc: 2", "argv[1]: remove", "DeleteService SUCCESS"])


if __name__ == "__main__":
    unittest.main()
