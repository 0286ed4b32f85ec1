# The real kelpwatch in a temporary machine directory (the blackbox
# harness's Machine), played with as systemd would: its command line installing
# and removing the service unit, with the exact lines it prints and its exit
# codes; and the service itself, whose status reports arrive at a datagram
# socket bound as NOTIFY_SOCKET and whose event records arrive at one bound as
# the machine's system log socket.

import datetime
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "blackbox"))
from harness import BIN, VERSION_CAPTION, Machine, port_open, wait_until  # noqa: E402

KELPWATCH = os.path.join(BIN, "kelpwatch")
USAGE = ("usage: kelpwatch install\n"
         "           to install the kelpwatch service, or:\n"
         "       kelpwatch remove\n"
         "           to remove the kelpwatch service\n")
# The service's lines after ExecStart=, in order: the user, its directories
# and the sandbox (each explained in the README and kelpwatch(8)).
SERVICE_LINES = (
    "KillMode=mixed\nUser=brindlex\nRuntimeDirectory=brindlex\nRuntimeDirectoryMode=0755\n"
    "StateDirectory=brindlex\nStateDirectoryMode=0750\nLogsDirectory=brindlex\nLogsDirectoryMode=0750\n"
    "UMask=0027\nAmbientCapabilities=CAP_NET_BIND_SERVICE\nCapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
    "NoNewPrivileges=yes\nProtectSystem=full\nPrivateTmp=yes\nPrivateDevices=yes\nPrivateMounts=yes\n"
    "ProtectKernelTunables=yes\nProtectKernelModules=yes\nProtectKernelLogs=yes\nProtectControlGroups=yes\n"
    "ProtectClock=yes\nProtectHostname=yes\nProtectProc=invisible\nProcSubset=pid\n"
    "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\nRestrictNamespaces=yes\nRestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\nLockPersonality=yes\nMemoryDenyWriteExecute=yes\nSystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\nSystemCallFilter=~@privileged\nSystemCallErrorNumber=EPERM\n"
    "RemoveIPC=yes\nKeyringMode=private\n")
NEW_UNIT = ("[Unit]\nDescription=Brindlex\nAfter=network.target\n\n[Service]\nType=notify\nExecStart=%s\n"
            + SERVICE_LINES + "\n[Install]\nWantedBy=multi-user.target\n") % KELPWATCH
MISSING = "failure: OpenService (0x424))\n"
REFUSED = "failure: CreateService (0x57)\n"


class Datagrams:
    # A datagram socket bound at path; collects what arrives.

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.setblocking(False)
        self.received = []

    def wait_for(self, predicate, timeout=30.0):
        # Receives until a message satisfies predicate; returns it or None.
        return wait_until(lambda: next((t for t in self.drain() if predicate(t)), None), timeout)

    def drain(self):
        try:
            while True:
                self.received.append(self.sock.recv(65536).decode("latin-1"))
        except BlockingIOError:
            return self.received


class ServiceMachine(Machine):
    # A Machine whose "Path" key points at the built programs.

    def __init__(self):
        super().__init__()
        self.reg("set", "Path", "App", "--string", os.path.join(BIN, "dockhand"))
        self.reg("set", "Path", "Service", "--string", KELPWATCH)
        # The unit's user is the default one; the servers the service starts
        # here run as the tests do (start_service).
        self.reg("delete", "System", "RunAs")
        self.unit = os.path.join(self.root, "systemd", "system", "kelpwatch.service")
        self.notify = Datagrams(os.path.join(self.top, "notify"))
        self.syslog = Datagrams(os.path.join(self.root, "dev-log"))
        self.services = []

    def kelpwatch(self, *args, env=None):
        # Runs a kelpwatch command to its end: (exit code, standard output).
        r = subprocess.run([KELPWATCH, *args], env=env or self.env, capture_output=True, text=True, timeout=60)
        return r.returncode, r.stdout

    def start_service(self):
        self.reg("set", "System", "RunAs", "--string", "root")
        p = subprocess.Popen([KELPWATCH], env=dict(self.env, NOTIFY_SOCKET=self.notify.path),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.services.append(p)
        return p

    def server_pid(self):
        # The process id in the server lock file, or 0.
        try:
            with open(os.path.join(self.root, "dockhand-server.lock")) as f:
                return int(f.read().strip() or 0)
        except (OSError, ValueError):
            return 0

    def close(self):
        for p in self.services:
            p.kill()
            p.wait()
        # A dockhand the service started lives in a session of its own.
        pid = self.server_pid()
        try:
            if pid and os.path.samefile("/proc/%d/exe" % pid, os.path.join(BIN, "dockhand")):
                os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
        self.notify.sock.close()
        self.syslog.sock.close()
        super().close()


class KelpwatchTest(unittest.TestCase):
    def setUp(self):
        self.m = ServiceMachine()
        self.addCleanup(self.m.close)

    def unit(self):
        # The unit file's text, or None. systemd-analyze checks it as systemd
        # would read it (the program on its ExecStart= line must exist), and
        # rates a unit that names its user: 2.0 or below.
        if not os.path.exists(self.m.unit):
            return None
        tool = shutil.which("systemd-analyze")
        self.assertIsNotNone(tool, "systemd-analyze (package systemd) is needed")
        r = subprocess.run([tool, "verify", self.m.unit], capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(self.m.unit) as f:
            text = f.read()
        if "\nUser=" in text:
            r = subprocess.run([tool, "security", "--offline=true", "--no-pager", self.m.unit],
                               capture_output=True, text=True, timeout=60)
            score = re.search(r"Overall exposure level for kelpwatch\.service: (\d+\.\d)", r.stdout)
            self.assertIsNotNone(score, r.stdout + r.stderr)
            self.assertLessEqual(float(score.group(1)), 2.0, text)
        return text

    def assert_stopped(self, exit_code, specific=0, msg=None):
        status = self.m.notify.wait_for(lambda t: t.startswith("STATUS=Stopped"))
        self.assertEqual(status, "STATUS=Stopped (exit code %d, service-specific code %d)" % (exit_code, specific), msg)

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
            ("/no/such/kelpwatch", ("install",), "failure: ServicePath /no/such/kelpwatch does not exist\n", 1, None),
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
        # Program, description and user follow the store, here a path that
        # needs quoting and escaping (systemd reads "$" in the program's path
        # as it is); the administrator's own lines stay, and the sandbox's
        # lines are added only where the unit lacks the setting.
        odd_dir = os.path.join(self.m.top, "odd dir 100% $HOME")
        os.makedirs(odd_dir)
        odd = os.path.join(odd_dir, "kelpwatch")
        os.symlink(KELPWATCH, odd)
        self.m.reg("set", "Path", "Service", "--string", odd)
        os.makedirs(os.path.dirname(self.m.unit))
        exe = '"%s"' % odd.replace("%", "%%")
        added = SERVICE_LINES
        rows = [
            # unit as edited, unit after "install"
            ("[Unit]\nDescription=old \\\n  words\nAfter=network.target\n"
             "[Service]\nType=notify\nExecStart=/old/one\nExecStart=/old/two\nRestart=always\n"
             "[Install]\nWantedBy=multi-user.target\n",
             "[Unit]\nDescription=Brindlex\nAfter=network.target\n"
             "[Service]\nType=notify\nExecStart=%s\nRestart=always\n%s"
             "[Install]\nWantedBy=multi-user.target\n" % (exe, added)),
            ("[Service]\nType=notify\n# ExecStart=/commented\nExecStart = /spaced\n\n"
             "[Install]\nWantedBy=multi-user.target\n",
             "[Service]\nType=notify\n# ExecStart=/commented\nExecStart=%s\n%s\n"
             "[Install]\nWantedBy=multi-user.target\n\n[Unit]\nDescription=Brindlex\nAfter=network.target\n"
             % (exe, added)),
            # A user of the administrator's is replaced by the store's; a
            # setting changed (or loosened) by the administrator stays.
            ("[Unit]\nAfter=network.target\n\n[Service]\nType=notify\nUser=root\nNice=5\n"
             "ProtectSystem=strict\nReadWritePaths=/srv/ftp\n\n[Install]\nWantedBy=multi-user.target\n",
             "[Unit]\nAfter=network.target\nDescription=Brindlex\n\n[Service]\nType=notify\nUser=brindlex\nNice=5\n"
             "ProtectSystem=strict\nReadWritePaths=/srv/ftp\nExecStart=%s\n%s\n[Install]\nWantedBy=multi-user.target\n"
             % (exe, added.replace("User=brindlex\n", "").replace("ProtectSystem=full\n", ""))),
        ]
        for edited, expected in rows:
            with open(self.m.unit, "w") as f:
                f.write(edited)
            self.assertEqual(self.m.kelpwatch("install"), (0, "ChangeServiceConfig SUCCESS\n"), edited)
            self.assertEqual(self.unit(), expected, edited)

    def test_outside_systemd_says_what_to_do(self):
        # What kelpwatch says where systemd is not there to take the service
        # (here: BRINDLEX_ROOT is set, so systemd is never told).
        rows = [
            # "Path" "Service" value, arguments, exit code, standard output begins, standard error holds
            (KELPWATCH, (), 1, "", "systemctl start kelpwatch"),
            (KELPWATCH, ("--help",), 0, USAGE, ""),
            (KELPWATCH, ("install",), 0, "CreateService SUCCESS\n",
             "%s, but systemd does not run here" % self.m.unit),
            ("/no/such/kelpwatch", ("install",), 1, "failure: ServicePath", "brindlex-reg set Path Service"),
        ]
        for path, args, code, out, err in rows:
            self.m.reg("set", "Path", "Service", "--string", path)
            r = subprocess.run([KELPWATCH, *args], env=self.m.env, capture_output=True, text=True, timeout=60)
            self.assertEqual(r.returncode, code, args)
            self.assertTrue(r.stdout.startswith(out), (args, r.stdout))
            self.assertIn(err, r.stderr, args)

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


    def test_whole_life(self):
        service = self.m.start_service()
        self.assertIsNotNone(self.m.notify.wait_for(lambda t: "READY=1" in t), self.m.notify.received)
        # The dockhand it started serves on the store's port.
        self.assertTrue(wait_until(lambda: port_open(self.m.port), 30), self.m.log_text()[-2000:])

        # An interrogation reports running again.
        ready = len([t for t in self.m.notify.received if "READY=1" in t])
        service.send_signal(signal.SIGHUP)
        self.assertTrue(wait_until(lambda: len([t for t in self.m.notify.drain() if "READY=1" in t]) > ready))

        service.send_signal(signal.SIGTERM)
        self.assertIsNotNone(self.m.notify.wait_for(lambda t: "STOPPING=1" in t))
        self.assert_stopped(0)
        self.assertEqual(service.wait(30), 0)
        self.assertTrue(wait_until(lambda: "+++ Stopping %s +++" % VERSION_CAPTION in self.m.log_text()))
        self.assertTrue(wait_until(lambda: not port_open(self.m.port)))

    def test_start_failures(self):
        m = self.m
        good = {"App": os.path.join(BIN, "dockhand"), "Service": KELPWATCH, "Work": m.work}
        missing = os.path.join(m.top, "no-such")
        rows = [
            # "Path" values changed from a working set, server running, exit code, specific code
            ({"App": ""}, False, 1066, 0),
            ({"Service": ""}, False, 1066, 2),
            ({"Work": ""}, False, 1066, 3),
            ({"App": missing}, False, 2, 0),
            ({"Work": missing}, False, 267, 0),
            ({}, True, 1066, 1),
        ]
        for change, server_runs, code, specific in rows:
            for name, value in dict(good, **change).items():
                m.reg("set", "Path", name, "--string", value)
            if server_runs:
                server = m.start("service")
                holder = m.server_pid()
            m.notify.received.clear()
            service = m.start_service()
            self.assertEqual(service.wait(30), 1, change)
            self.assert_stopped(code, specific, change)
            self.assertFalse([t for t in m.notify.drain() if "READY=1" in t], change)
        # The running server was left alone and nothing took its place.
        self.assertIsNone(server.poll())
        self.assertEqual(m.server_pid(), holder)

    def test_no_server_to_stop(self):
        # A program that ends at once stands for a dockhand that exited by itself.
        self.m.reg("set", "Path", "App", "--string", shutil.which("true"))
        service = self.m.start_service()
        self.assertIsNotNone(self.m.notify.wait_for(lambda t: "READY=1" in t))
        service.send_signal(signal.SIGTERM)
        self.assertIsNotNone(self.m.notify.wait_for(lambda t: "STOPPING=1" in t))
        self.assert_stopped(1400)
        self.assertEqual(service.wait(30), 1)

    def test_service_that_cannot_report(self):
        rows = [
            # NOTIFY_SOCKET, error record
            (None, "kelpwatch error: 1063: StartServiceCtrlDispatcher failed."),
            ("/nonexistent/notify", "kelpwatch error: 2: SetServiceStatus"),
        ]
        for notify, record in rows:
            env = dict(self.m.env)
            env.pop("NOTIFY_SOCKET", None)
            if notify:
                env["NOTIFY_SOCKET"] = notify
            code, out = self.m.kelpwatch(env=env)
            self.assertEqual((code, out), (1, ""), notify)
            got = self.m.syslog.wait_for(lambda t: t.endswith(record), 10)
            self.assertRegex(got or "", r"^<27>\w{3} [ \d]\d \d\d:\d\d:\d\d kelpwatch\[\d+\]: ", notify)
            self.assertEqual(self.m.server_pid(), 0, notify)



if __name__ == "__main__":
    unittest.main()
