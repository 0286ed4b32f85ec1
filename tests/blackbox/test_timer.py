"""The one-second timer of the server, driven by a test that plays the admin:
it writes datagrams into the server's message slot and reads the server's
answers from a client slot of its own."""

import ftplib
import os
import socket
import struct
import time
import unittest

from harness import Machine, port_open, wait_until, free_port

IPC_MSG_REFRESH = 2
IPC_MSG_REFRESH_REQUEST = 4
IPC_MSG_SYSTEM_CHANGED = 5
IPC_MSG_UPDATE = 6
IPC_MSG_USERS_CHANGED = 7


def message(kind, data=b""):
    return bytes([kind, 0]) + struct.pack("<H", len(data)) + data


class TimerTest(unittest.TestCase):
    def setUp(self):
        self.m = Machine()
        self.m.add_user("dave", "pw1")
        self.server = self.m.start("service")
        self.slot = os.path.join(self.m.root, "slot-server")
        self.assertTrue(wait_until(lambda: os.path.exists(self.slot)))

    def tearDown(self):
        self.m.stop(self.server)
        self.m.close()

    def send(self, *messages):
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            for msg in messages:
                s.sendto(msg, self.slot)

    def can_log_in(self, user, password):
        try:
            with ftplib.FTP() as ftp:
                ftp.connect("127.0.0.1", self.m.port, timeout=10)
                ftp.login(user, password)
            return True
        except ftplib.error_perm:
            return False

    def test_system_change_moves_the_listening_socket(self):
        old = self.m.port
        new = free_port()
        self.m.reg("set", "System", "Port", "--dword", str(new))
        started = time.monotonic()
        self.send(message(IPC_MSG_SYSTEM_CHANGED))
        self.assertTrue(wait_until(lambda: port_open(new), timeout=2.5))
        self.assertLess(time.monotonic() - started, 2.5)
        self.assertFalse(port_open(old))
        # Disabling the server closes the listening socket.
        self.m.reg("set", "System", "Enable", "--dword", "0")
        self.send(message(IPC_MSG_SYSTEM_CHANGED))
        self.assertTrue(wait_until(lambda: not port_open(new), timeout=2.5))

    def test_users_change_lets_a_new_account_log_in_after_an_unexpected_message(self):
        self.m.add_user("erin", "pw2")
        self.assertFalse(self.can_log_in("erin", "pw2"))
        # The unexpected update is passed over; the server keeps serving.
        self.send(message(IPC_MSG_UPDATE, b"\0" * 8), message(IPC_MSG_USERS_CHANGED))
        self.assertTrue(wait_until(lambda: self.can_log_in("erin", "pw2"), timeout=3))

    def test_connections_reported_on_refresh_request_and_as_they_go_and_come(self):
        client_slot = os.path.join(self.m.root, "slot-client")
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as reader:
            reader.bind(client_slot)
            reader.settimeout(5)
            clients = [socket.create_connection(("127.0.0.1", self.m.port), timeout=5)
                       for _ in range(3)]
            for c in clients:
                c.recv(100)
            self.send(message(IPC_MSG_REFRESH_REQUEST))
            got = [reader.recv(300)]
            self.assertEqual(got[0], message(IPC_MSG_REFRESH))
            ids = []
            id_by_port = {}
            for _ in clients:
                d = reader.recv(300)
                self.assertEqual(d[0], IPC_MSG_UPDATE)
                self.assertEqual(struct.unpack("<H", d[2:4])[0], 8)
                conn_id = struct.unpack("<H", d[4:6])[0]
                self.assertEqual(d[8:12], socket.inet_aton("127.0.0.1"))
                ids.append(conn_id)
                # Before any PORT or PASV the data port is the client's own port.
                id_by_port[struct.unpack("!H", d[6:8])[0]] = conn_id
            self.assertEqual(ids, sorted(ids))  # in slot order
            self.assertEqual(sorted(id_by_port), sorted(c.getsockname()[1] for c in clients))
            # From now on the server reports each connection that goes away.
            gone = id_by_port[clients[1].getsockname()[1]]
            clients[1].close()
            d = reader.recv(300)
            self.assertEqual(d[0], IPC_MSG_UPDATE)
            self.assertEqual(struct.unpack("<H", d[4:6])[0], gone)
            self.assertEqual(d[6:12], b"\x00\x00\xff\xff\xff\xff")
            # ... and each that comes, in the slot the one that went freed.
            clients[1] = socket.create_connection(("127.0.0.1", self.m.port), timeout=5)
            clients[1].recv(100)
            d = reader.recv(300)
            self.assertEqual(d, message(IPC_MSG_UPDATE, struct.pack("<H", gone) + struct.pack(
                "!H", clients[1].getsockname()[1]) + socket.inet_aton("127.0.0.1")))
            for c in clients:
                c.close()


class AdminViewTest(unittest.TestCase):
    def setUp(self):
        self.m = Machine()
        self.server = self.m.start()

    def tearDown(self):
        self.m.close()

    def admin_records(self, text):
        return [l for l in self.m.log_text().split("\r\n") if "admin " in l and text in l]

    def update_ids(self):
        return [int(l.rsplit("=", 1)[1]) for l in self.admin_records("TimerProc: got update for id=")]

    def test_admin_view_follows_the_servers_connections(self):
        first = socket.create_connection(("127.0.0.1", self.m.port), timeout=5)
        first.recv(100)
        admin = self.m.start(wait=False)
        # The admin asks for the list at start-up and mirrors the answer.
        self.assertTrue(wait_until(lambda: self.admin_records("TimerProc: got refresh"), timeout=5))
        self.assertTrue(wait_until(lambda: len(self.update_ids()) == 1, timeout=5))
        first_id = self.update_ids()[0]
        second = socket.create_connection(("127.0.0.1", self.m.port), timeout=5)
        second.recv(100)
        self.assertTrue(wait_until(lambda: len(self.update_ids()) == 2, timeout=5))
        second_id = self.update_ids()[1]
        self.assertNotEqual(first_id, second_id)
        second.close()
        # Removing the second item passes over the first one.
        self.assertTrue(wait_until(lambda: self.admin_records("TimerProc: found id=%d" % second_id),
                                   timeout=5))
        self.assertTrue(self.admin_records("TimerProc: skipping id=%d" % first_id))
        first.close()
        self.assertTrue(wait_until(lambda: self.admin_records("TimerProc: found id=%d" % first_id),
                                   timeout=5))
        self.assertEqual(self.m.stop(admin), 0)
        self.assertEqual(self.m.stop(self.server), 0)

if __name__ == "__main__":
    unittest.main()
