"""The roles of dockhand with real processes: one server (or service), at
most one admin, and an orderly stop on SIGTERM."""

import os
import socket
import time
import unittest

from harness import Machine, wait_until


class RolesTest(unittest.TestCase):
    def setUp(self):
        self.m = Machine()

    def tearDown(self):
        self.m.close()

    def records(self, text):
        return [line for line in self.m.log_text().split("\r\n") if text in line]

    def test_second_service_exits_at_once_and_first_keeps_serving(self):
        first = self.m.start("service")
        second = self.m.start("service", wait=False)
        self.assertEqual(second.wait(10), 0)
        self.assertIsNone(first.poll())
        with socket.create_connection(("127.0.0.1", self.m.port), timeout=5) as s:
            self.assertTrue(s.recv(100).startswith(b"220 Brindlex V1.2"))
        self.assertEqual(self.m.stop(first), 0)

    def test_second_start_is_admin_third_is_refused_and_server_can_be_restarted(self):
        server = self.m.start()
        admin = self.m.start(wait=False)
        self.assertTrue(wait_until(lambda: self.records("admin *** Starting Brindlex V1.2 ***")))
        third = self.m.start(wait=False)
        self.assertEqual(third.wait(10), 0)
        self.assertIn(b"Application is already active.", third.stderr.read())
        self.assertIsNone(admin.poll())

        # The server ends; the next interactive start becomes the server even
        # though the old admin still runs.
        self.assertEqual(self.m.stop(server), 0)
        self.assertIsNone(admin.poll())
        before = len(self.records("server *** Starting"))
        new_server = self.m.start()
        self.assertTrue(wait_until(lambda: len(self.records("server *** Starting")) > before))
        self.assertIsNone(new_server.poll())
        self.assertEqual(self.m.stop(new_server), 0)
        self.assertEqual(self.m.stop(admin), 0)

    def test_service_word_must_be_exact(self):
        server = self.m.start("service")
        for n, args in enumerate((["Service"], ["service", "x"])):
            p = self.m.start(*args, wait=False)  # not the service role: becomes the admin
            self.assertTrue(wait_until(lambda: len(self.records("admin ServerInit:")) > n))
            self.assertEqual(self.m.stop(p), 0)
        self.m.stop(server)

    def test_sigterm_stops_a_server_with_live_connections(self):
        server = self.m.start("service")
        clients = [socket.create_connection(("127.0.0.1", self.m.port), timeout=5) for _ in range(5)]
        for c in clients:
            self.assertTrue(c.recv(100).startswith(b"220"))
        started = time.monotonic()
        self.assertEqual(self.m.stop(server, timeout=2), 0)
        self.assertLess(time.monotonic() - started, 2.0)
        lines = [l for l in self.m.log_text().split("\r\n") if l]
        stop = [i for i, l in enumerate(lines) if "+++ Stopping Brindlex V1.2 +++" in l]
        self.assertEqual(len(stop), 1)
        # Only the log's own last words may follow the stop record.
        self.assertTrue(all("LogShutdown:" in l for l in lines[stop[0] + 1:]), lines[stop[0]:])
        for c in clients:
            c.settimeout(5)
            self.assertEqual(c.recv(100), b"")  # closed by the server's shutdown
            c.close()


if __name__ == "__main__":
    unittest.main()
