# Real clients over IPv6 (::1) against the real server, which listens on
# both families by default: curl, lftp, rclone and Python's ftplib move
# files byte-exact with EPSV and EPRT, IPv4 and IPv6 clients are served at
# once and both reach an admin through the message slot, Restrict refuses an
# EPRT to another host, and ListenAddress chooses who can connect. Every
# case skips with a clear message on a machine without ::1. The replies by
# family are checked on the socket in tests/server/extensions_test.cpp.

import ftplib
import os
import shutil
import socket
import struct
import subprocess

from harness import (NO_IPV6, PASSWORD, USER, ServerTest, has_ipv6_loopback, login, make_tree,
                     port_open, read, tree, wait_until, write)

IPC_MSG_REFRESH = 2
IPC_MSG_REFRESH_REQUEST = 4
IPC_MSG_UPDATE = 6
IPC_MSG_LISTEN_STATUS = 8
IPC_MSG_UPDATE6 = 9


def message(kind, data=b""):
    return bytes([kind, 0]) + struct.pack("<H", len(data)) + data


def update(kind, conn_id, port, address):
    # An update record: the connection's id, the client's port and address.
    return message(kind, struct.pack("<H", conn_id) + struct.pack("!H", port) + address)


class Ipv6Test(ServerTest):
    extensions = True
    host = "::1"

    def setUp(self):
        if not has_ipv6_loopback():
            self.skipTest(NO_IPV6)
        super().setUp()
        self.url6 = "ftp://%s:%s@[::1]:%d/" % (USER, PASSWORD, self.m.port)


class Ipv6ClientsTest(Ipv6Test):
    def need(self, program):
        if not shutil.which(program):
            self.skipTest("%s is not installed" % program)

    def test_curl_passive_and_active(self):
        self.need("curl")
        data = self.rnd.randbytes(1_500_000)
        src = os.path.join(self.local, "up.bin")
        write(src, data)
        # "-" makes curl send EPRT with the address of its control connection.
        for mode, name in (([], "passive.bin"), (["--ftp-port", "-"], "active.bin")):
            with self.subTest(name):
                curl = ["curl", "-sS", "-g", "--max-time", "60", *mode]
                self.run_client(*curl, "-T", src, self.url6 + name)
                self.assertEqual(read(self.served(name)), data)
                self.assertEqual(self.run_client(*curl, self.url6 + name), data)
                listing = self.run_client(*curl, "--list-only", self.url6).decode().splitlines()
                self.assertIn(name, listing)

    def test_lftp_mirror_up_and_down(self):
        self.need("lftp")
        make_tree(self.local, 30, self.rnd)
        back = os.path.join(self.m.top, "back")
        for script in ("mirror -R %s tree" % self.local, "mirror tree %s" % back):
            self.run_client("lftp", "-u", "%s,%s" % (USER, PASSWORD), "-p", str(self.m.port), "-e",
                            "set net:max-retries 1; set net:timeout 20; set cmd:fail-exit yes; "
                            + script + "; quit", self.host)
        self.assertTrue(tree(self.local) == tree(self.served("tree")))
        self.assertTrue(tree(self.local) == tree(back))

    def test_rclone_copy_and_check(self):
        self.need("rclone")
        obscured = subprocess.run(["rclone", "obscure", PASSWORD], capture_output=True, text=True,
                                  check=True).stdout.strip()
        # rclone puts host and port together as they are: the brackets go
        # into the host.
        env = dict(os.environ, RCLONE_CONFIG=os.path.join(self.m.top, "rclone.conf"),
                   RCLONE_CONFIG_BX_TYPE="ftp", RCLONE_CONFIG_BX_HOST="[%s]" % self.host,
                   RCLONE_CONFIG_BX_PORT=str(self.m.port), RCLONE_CONFIG_BX_USER=USER,
                   RCLONE_CONFIG_BX_PASS=obscured, HOME=self.m.top)
        make_tree(self.local, 12, self.rnd)
        for args in (("copy", self.local, "bx:copy"), ("check", self.local, "bx:copy")):
            self.run_client("rclone", "--low-level-retries", "1", "--retries", "1", *args, env=env)
        self.assertTrue(tree(self.local) == tree(self.served("copy")))

    def test_ftplib_list_upload_download_with_epsv_and_eprt(self):
        data = self.rnd.randbytes(300_001)
        with login(self.m.port, USER, PASSWORD, self.host) as ftp:
            for passive in (True, False):  # EPSV, then EPRT
                name = "p.bin" if passive else "a.bin"
                with self.subTest(name):
                    ftp.set_pasv(passive)
                    write(os.path.join(self.local, name), data)
                    with open(os.path.join(self.local, name), "rb") as f:
                        ftp.storbinary("STOR " + name, f)
                    self.assertEqual(read(self.served(name)), data)
                    got = []
                    ftp.retrbinary("RETR " + name, got.append)
                    self.assertEqual(b"".join(got), data)
                    self.assertIn(name, ftp.nlst())
            # PASV and PORT cannot carry an IPv6 address: the client is told
            # which family to use instead.
            for command in ("PASV", "PORT 127,0,0,1,7,208", "EPRT |1|127.0.0.1|2000|"):
                with self.assertRaises(ftplib.error_perm) as refused:
                    ftp.sendcmd(command)
                self.assertEqual(str(refused.exception), "522 Network protocol not supported, use (2)")
            port = ftp.sock.getsockname()[1]
        # The accept record names the client as [address]:port.
        self.assertIn("Accepted connection from [::1]:%d " % port, self.m.log_text())

    def test_restrict_refuses_an_eprt_to_another_ipv6_address(self):
        # This machine's only IPv6 address is ::1, so the other host is one
        # that is never connected to: the refusal comes before any connection.
        with login(self.m.port, USER, PASSWORD, self.host) as ftp:
            with self.assertRaises(ftplib.error_perm) as refused:
                ftp.sendcmd("EPRT |2|2001:db8::7|2000|")
            self.assertEqual(str(refused.exception), "501 IP address restricted.")
            self.assertTrue(ftp.sendcmd("EPRT |2|::1|2000|").startswith("200"))

    def test_ipv4_and_ipv6_clients_at_once_and_in_the_admins_view(self):
        data = self.rnd.randbytes(2_000_000)
        write(self.served("both.bin"), data)
        self.assertTrue(wait_until(lambda: self.m.slot_bound("server")))
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as reader:
            reader.bind(os.path.join(self.m.root, "slot-client"))
            reader.settimeout(5)
            v4 = login(self.m.port, USER, PASSWORD)
            v6 = login(self.m.port, USER, PASSWORD, self.host)
            self.addCleanup(v4.close)
            self.addCleanup(v6.close)
            # Both downloads open before either is read.
            streams = [ftp.transfercmd("RETR both.bin") for ftp in (v4, v6)]
            got = [b"", b""]
            while any(s is not None for s in streams):
                for i, s in enumerate(streams):
                    if s is not None:
                        chunk = s.recv(65536)
                        got[i] += chunk
                        if not chunk:
                            s.close()
                            streams[i] = None
            self.assertEqual(got, [data, data])
            for ftp in (v4, v6):
                self.assertTrue(ftp.voidresp().startswith("226"))
            # An admin asking for the list gets the IPv4 client in the old
            # record and the IPv6 client in its own.
            reader.sendto(message(IPC_MSG_REFRESH_REQUEST), os.path.join(self.m.root, "slot-server"))
            self.assertEqual(reader.recv(300), message(IPC_MSG_REFRESH))
            self.assertEqual(reader.recv(300), message(IPC_MSG_LISTEN_STATUS))
            got = sorted(reader.recv(300) for _ in range(2))
            ids = [struct.unpack("<H", d[4:6])[0] for d in got]
            port4, port6 = v4.sock.getsockname()[1], v6.sock.getsockname()[1]
            loop6 = socket.inet_pton(socket.AF_INET6, "::1")
            self.assertEqual(got, [update(IPC_MSG_UPDATE, ids[0], port4, socket.inet_aton("127.0.0.1")),
                                   update(IPC_MSG_UPDATE6, ids[1], port6, loop6)])
            v6.quit()
            self.assertEqual(reader.recv(300), update(IPC_MSG_UPDATE6, ids[1], 0, b"\xff" * 16))
        log = self.m.log_text()
        self.assertIn("Accepted connection from 127.0.0.1:%d " % port4, log)
        self.assertIn("Accepted connection from [::1]:%d " % port6, log)


class ListenAddressTest(Ipv6Test):
    def reaches(self):
        return port_open(self.m.port), port_open(self.m.port, "::1")

    def test_listen_address_chooses_the_families_served(self):
        self.assertEqual(self.reaches(), (True, True))
        for address, expected in (("::1", (False, True)), ("127.0.0.1", (True, False)),
                                  ("", (True, True))):
            self.m.reg("set", "System", "ListenAddress", "--string", address)
            self.assertTrue(wait_until(lambda: self.reaches() == expected), address)
        # A text that is no address is refused and stores nothing.
        with self.assertRaises(AssertionError) as refused:
            self.m.reg("set", "System", "ListenAddress", "--string", "localhost")
        self.assertIn("IPv4 or IPv6 address", str(refused.exception))
        self.assertEqual(self.m.reg("get", "System", "ListenAddress").stdout, "\n")
