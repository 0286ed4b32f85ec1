# The one-second timer of the server, driven by a test that plays the admin:
# it writes datagrams into the server's message slot and reads the server's
# answers from a client slot of its own. Changes brindlex-reg announces are
# shown end to end in test_operations, the admin's own view in xvfb_window.

import ftplib
import os
import signal
import socket
import struct
import unittest

from harness import PASSWORD, USER, Machine, ServerTest, port_open, wait_until, write

IPC_MSG_REFRESH = 2
IPC_MSG_REFRESH_REQUEST = 4
IPC_MSG_UPDATE = 6
IPC_MSG_LISTEN_STATUS = 8


def message(kind, data=b""):
    return bytes([kind, 0]) + struct.pack("<H", len(data)) + data


def update(conn_id, port, address):
    # The update for a connection: its id, then its port and address.
    return message(IPC_MSG_UPDATE, struct.pack("<H", conn_id) + struct.pack("!H", port) + address)


class TimerTest(ServerTest):
    def test_connections_reported_on_refresh_request_and_as_they_go_and_come(self):
        self.assertTrue(wait_until(lambda: self.m.slot_bound("server")))
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as reader:
            reader.bind(os.path.join(self.m.root, "slot-client"))
            reader.settimeout(5)
            clients = [socket.create_connection(("127.0.0.1", self.m.port), timeout=5)
                       for _ in range(3)]
            for c in clients:
                self.addCleanup(c.close)
                c.recv(100)
            # An unexpected message is passed over; the request after it is answered.
            for msg in (message(IPC_MSG_UPDATE, b"\0" * 8), message(IPC_MSG_REFRESH_REQUEST)):
                reader.sendto(msg, os.path.join(self.m.root, "slot-server"))
            self.assertEqual(reader.recv(300), message(IPC_MSG_REFRESH))
            self.assertEqual(reader.recv(300), message(IPC_MSG_LISTEN_STATUS))  # listening
            # One update per connection in slot order; before any PORT or PASV
            # the data port is the client's own port.
            got = [reader.recv(300) for _ in clients]
            ids = [struct.unpack("<H", d[4:6])[0] for d in got]
            self.assertEqual(ids, sorted(ids))
            id_by_port = {struct.unpack("!H", d[6:8])[0]: i for d, i in zip(got, ids)}
            here = socket.inet_aton("127.0.0.1")
            ports = [c.getsockname()[1] for c in clients]
            self.assertEqual(sorted(got), sorted(update(id_by_port[p], p, here) for p in ports))
            # From now on the server reports each connection that goes away ...
            gone = id_by_port[clients[1].getsockname()[1]]
            clients[1].close()
            self.assertEqual(reader.recv(300), update(gone, 0, b"\xff\xff\xff\xff"))
            # ... and each that comes, in the slot the one that went freed.
            later = socket.create_connection(("127.0.0.1", self.m.port), timeout=5)
            self.addCleanup(later.close)
            later.recv(100)
            self.assertEqual(reader.recv(300), update(gone, later.getsockname()[1], here))

    def test_a_refresh_during_a_transfer_reports_the_clients_own_port(self):
        # The admin's list shows a client by the port of its control
        # connection, also while a passive download runs.
        write(self.served("big.bin"), b"")
        os.truncate(self.served("big.bin"), 256 << 20)  # more than the sockets hold
        self.assertTrue(wait_until(lambda: self.m.slot_bound("server")))
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as reader:
            reader.bind(os.path.join(self.m.root, "slot-client"))
            reader.settimeout(5)
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", self.m.port, timeout=10)
            self.addCleanup(ftp.close)
            ftp.login(USER, PASSWORD)
            data = ftp.transfercmd("RETR big.bin")  # 150: the download runs, unread
            self.addCleanup(data.close)
            self.assertTrue(data.recv(1))
            reader.sendto(message(IPC_MSG_REFRESH_REQUEST), os.path.join(self.m.root, "slot-server"))
            self.assertEqual(reader.recv(300), message(IPC_MSG_REFRESH))
            self.assertEqual(reader.recv(300), message(IPC_MSG_LISTEN_STATUS))
            got = reader.recv(300)
            port = ftp.sock.getsockname()[1]
            self.assertNotEqual(port, data.getpeername()[1])
            self.assertEqual(got[6:], update(0, port, socket.inet_aton("127.0.0.1"))[6:])


class ListenStatusTest(unittest.TestCase):
    def test_a_server_that_cannot_listen_says_why_until_it_listens_again(self):
        # The port is taken before the server starts; the server says so on
        # standard error and tells an admin (the status bar's text), and once
        # the port is free a SIGHUP makes it listen and clears the text.
        m = Machine()
        self.addCleanup(m.close)
        holder = socket.socket()
        holder.bind(("0.0.0.0", m.port))
        holder.listen()
        server = m.start("service", wait=False)
        self.assertTrue(wait_until(lambda: m.slot_bound("server")))
        why = b"Not listening on port %d: the port is in use by another program" % m.port
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as reader:
            reader.bind(os.path.join(m.root, "slot-client"))
            reader.settimeout(5)
            reader.sendto(message(IPC_MSG_REFRESH_REQUEST), os.path.join(m.root, "slot-server"))
            # The failure itself may reach the new slot before the answer.
            got = reader.recv(300)
            if got != message(IPC_MSG_REFRESH):
                self.assertEqual(got, message(IPC_MSG_LISTEN_STATUS, why))
                got = reader.recv(300)
            self.assertEqual(got, message(IPC_MSG_REFRESH))
            self.assertEqual(reader.recv(300), message(IPC_MSG_LISTEN_STATUS, why))
            holder.close()
            server.send_signal(signal.SIGHUP)
            self.assertEqual(reader.recv(300), message(IPC_MSG_LISTEN_STATUS))
        self.assertTrue(port_open(m.port))
        self.assertEqual(m.stop(server), 0)
        err = server.stderr.read().decode()
        self.assertIn("port %d: the port is in use" % m.port, err)
        self.assertIn("free the port", err)
