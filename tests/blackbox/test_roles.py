# The roles of dockhand with real processes: one server (or service), at
# most one admin (the one reading the client slot), and an orderly stop on
# SIGTERM.

import socket
import unittest

from harness import Machine, port_open, wait_until


class RolesTest(unittest.TestCase):
    def setUp(self):
        self.m = Machine()
        self.addCleanup(self.m.close)

    def test_second_service_exits_and_only_the_exact_word_is_the_service(self):
        first = self.m.start("service")
        self.assertEqual(self.m.start("service", wait=False).wait(10), 0)
        self.assertFalse(self.m.slot_bound("client"))
        for args in (["Service"], ["service", "x"]):
            p = self.m.start(*args, wait=False)  # not the service role: becomes the admin
            self.assertTrue(wait_until(lambda: self.m.slot_bound("client")), args)
            self.assertEqual(self.m.stop(p), 0)
            self.assertFalse(self.m.slot_bound("client"), args)
        self.assertIsNone(first.poll())
        self.assertTrue(port_open(self.m.port))
        self.assertEqual(self.m.stop(first), 0)

    def test_second_start_is_admin_third_is_refused_and_server_can_be_restarted(self):
        server = self.m.start()
        admin = self.m.start(wait=False)
        self.assertTrue(wait_until(lambda: self.m.slot_bound("client")))
        third = self.m.start(wait=False)
        self.assertEqual(third.wait(10), 0)
        self.assertIn(b"Application is already active.", third.stderr.read())
        # The server ends; the next interactive start becomes the server even
        # though the old admin still runs.
        self.assertEqual(self.m.stop(server), 0)
        new_server = self.m.start()
        self.assertIsNone(new_server.poll())
        self.assertIsNone(admin.poll())
        self.assertEqual(self.m.stop(new_server), 0)
        self.assertEqual(self.m.stop(admin), 0)

    def test_sigterm_stops_a_server_with_live_connections(self):
        server = self.m.start("service")
        clients = [socket.create_connection(("127.0.0.1", self.m.port), timeout=5) for _ in range(5)]
        for c in clients:
            self.assertTrue(c.recv(100).startswith(b"220"))
        self.assertEqual(self.m.stop(server), 0)
        lines = [l for l in self.m.log_text().split("\r\n") if l]
        stop = [i for i, l in enumerate(lines) if "+++ Stopping Brindlex V1.2 +++" in l]
        self.assertEqual(len(stop), 1)
        # Only the log's own last words may follow the stop record.
        self.assertTrue(all("LogShutdown:" in l for l in lines[stop[0] + 1:]), lines[stop[0]:])
        for c in clients:
            self.assertEqual(c.recv(100), b"")  # closed by the server's shutdown
            c.close()
