"""kelpwatch as the service: its status reports to systemd, the dockhand it
starts and stops, and the error records of a service that cannot run."""

import os
import shutil
import signal
import unittest

from service_harness import KELPWATCH, ServiceMachine, stopped
from harness import BIN, port_open, wait_until


class ServiceTest(unittest.TestCase):
    def setUp(self):
        self.m = ServiceMachine()
        self.addCleanup(self.m.close)

    def final_status(self):
        return self.m.notify.wait_for(lambda t: t.startswith("STATUS=Stopped"))

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
        self.assertEqual(self.final_status(), stopped(0))
        self.assertEqual(service.wait(30), 0)
        self.assertTrue(wait_until(lambda: "+++ Stopping Brindlex V1.2 +++" in self.m.log_text()))
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
            self.assertEqual(self.final_status(), stopped(code, specific), change)
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
        self.assertEqual(self.final_status(), stopped(1400))
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
