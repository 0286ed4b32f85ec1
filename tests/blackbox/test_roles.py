# The roles of dockhand with real processes: one server (or service), at
# most one admin (the one reading the client slot), and an orderly stop on
# SIGTERM.

import os
import socket
import unittest

from harness import VERSION_CAPTION, Machine, port_open, wait_until


class RolesTest(unittest.TestCase):
    def setUp(self):
        self.m = Machine()
        self.addCleanup(self.m.close)

    def test_second_service_exits_and_only_the_exact_word_is_the_service(self):
        first = self.m.start("service")
        self.assertEqual(self.m.start("service", wait=False).wait(10), 0)
        self.assertFalse(self.m.slot_bound("client"))
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

    def test_unknown_arguments_get_the_usage_and_status_2_and_start_nothing(self):
        # Not even an admin: the client slot stays unbound while a service runs.
        server = self.m.start("service")
        for args in (["-h"], ["--verison"], ["--bogus"], ["Service"], ["service", "x"],
                     ["--help", "x"], [""]):
            p = self.m.start(*args, wait=False)
            self.assertEqual(p.wait(10), 2, args)
            self.assertIn(b"usage: dockhand", p.stderr.read(), args)
            self.assertEqual(p.stdout.read(), b"", args)
            self.assertFalse(self.m.slot_bound("client"), args)
        for args, out in ((["--help"], b"usage: dockhand"), (["--version"], VERSION_CAPTION.encode())):
            p = self.m.start(*args, wait=False)
            self.assertEqual(p.wait(10), 0, args)
            self.assertIn(out, p.stdout.read(), args)
        self.assertEqual(self.m.stop(server), 0)

    def test_a_lock_that_cannot_be_created_is_reported_as_what_it_is(self):
        # A directory where the lock file belongs stands for any refusal that
        # is not another instance (the same for root and other users).
        for role, first in (("server", []), ("server", ["service"]), ("admin", [])):
            with self.subTest(role=role, args=first):
                lock = os.path.join(self.m.root, "dockhand-%s.lock" % role)
                os.makedirs(lock)
                server = self.m.start("service") if role == "admin" else None
                p = self.m.start(*first, wait=False)
                self.assertEqual(p.wait(10), 1)
                err = p.stderr.read().decode()
                self.assertNotIn("already active", err)
                self.assertIn(lock, err)
                self.assertIn("Is a directory", err)
                self.assertIn("BRINDLEX_ROOT", err)  # what to do
                if server:
                    self.assertEqual(self.m.stop(server), 0)
                os.rmdir(lock)

    def test_sigterm_stops_a_server_with_live_connections(self):
        server = self.m.start("service")
        clients = [socket.create_connection(("127.0.0.1", self.m.port), timeout=5) for _ in range(5)]
        for c in clients:
            self.assertTrue(c.recv(100).startswith(b"220"))
        self.assertEqual(self.m.stop(server), 0)
        lines = [l for l in self.m.log_text().split("\r\n") if l]
        stop = [i for i, l in enumerate(lines) if "+++ Stopping %s +++" % VERSION_CAPTION in l]
        self.assertEqual(len(stop), 1)
        # Only the log's own last words may follow the stop record.
        self.assertTrue(all("LogShutdown:" in l for l in lines[stop[0] + 1:]), lines[stop[0]:])
        for c in clients:
            self.assertEqual(c.recv(100), b"")  # closed by the server's shutdown
            c.close()
