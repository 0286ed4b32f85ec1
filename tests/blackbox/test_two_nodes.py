# Two dockhand nodes behind HAProxy (Debian's package, run in the foreground
# with dist/haproxy-brindlex.cfg): the PROXY protocol carries the client's
# address (127.0.0.7) to the nodes, both serve one directory tree, the
# accounts travel from one store to the other with export and import, and a
# stopped node leaves the other serving.

import ftplib
import io
import os
import re
import shutil
import socket
import subprocess
import tempfile
import unittest

from harness import PASSWORD, USER, Machine, free_port, read, wait_until, write
from test_timer import IPC_MSG_REFRESH_REQUEST, IPC_MSG_UPDATE, message

CLIENT = "127.0.0.7"
CONFIG = os.path.join(os.path.dirname(__file__), "..", "..", "dist", "haproxy-brindlex.cfg")


def haproxy_program():
    return shutil.which("haproxy") or next(
        (p for p in ("/usr/sbin/haproxy", "/sbin/haproxy") if os.access(p, os.X_OK)), None)


def greets(port, header=b"PROXY UNKNOWN\r\n"):
    # Whether a node answers a PROXY header with its greeting.
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
            s.settimeout(3)
            s.sendall(header)
            return s.recv(1024).startswith(b"220")
    except OSError:
        return False


def direct_session(port, source=CLIENT):
    # A session on one node, from the balancer's address with the header it
    # would send for a client at source; data connections from source.
    ftp = ftplib.FTP(timeout=20, source_address=(source, 0))
    ftp.sock = socket.create_connection(("127.0.0.1", port), timeout=20)
    ftp.sock.sendall(b"PROXY TCP4 %s 127.0.0.1 40000 21\r\n" % source.encode())
    ftp.af = ftp.sock.family
    ftp.file = ftp.sock.makefile("r", encoding=ftp.encoding)
    ftp.welcome = ftp.getresp()
    ftp.login(USER, PASSWORD)
    return ftp


class TwoNodesTest(unittest.TestCase):
    def setUp(self):
        self.haproxy = haproxy_program()
        if not self.haproxy:
            if os.environ.get("CI"):
                self.fail("haproxy is not installed (scripts/deps.sh installs it)")
            self.skipTest("haproxy is not installed: scripts/deps.sh installs it "
                          "(in CI, with CI set, this test fails instead)")
        self.top = tempfile.mkdtemp(prefix="bx-two-nodes-")
        self.addCleanup(shutil.rmtree, self.top, ignore_errors=True)
        self.shared = os.path.join(self.top, "shared")
        os.makedirs(self.shared)
        self.nodes = []
        for i in (1, 2):
            m = Machine()
            self.addCleanup(m.close)
            m.ftp = self.shared  # one tree, as on NFS or a cluster file system
            base = 20000 + 200 * (os.getpid() % 40) + 100 * i
            for value, text in (("PassivePorts", "%d-%d" % (base, base + 99)),
                                ("PassiveAddress", "127.0.0.%d" % i),
                                ("ProxyFrom", "127.0.0.1")):
                m.reg("set", "System", value, "--string", text)
            m.reg("set", "System", "ProxyProtocol", "--dword", "1")
            m.reg("set", "Log", "Audit", "--dword", "1")
            self.nodes.append(m)
        # The accounts are made on node 1 and carried to node 2.
        self.nodes[0].add_user(USER, PASSWORD)
        users = self.nodes[0].reg("export", "Users").stdout
        self.nodes[1].reg("import", "-", stdin=users)
        self.procs = [m.start("service", wait=False) for m in self.nodes]
        for m in self.nodes:
            self.assertTrue(wait_until(lambda: greets(m.port)), m.log_text()[-2000:])

        self.front = free_port()
        fields = {"FRONT_ADDRESS": "127.0.0.1", "FRONT_PORT": self.front}
        for i, m in enumerate(self.nodes, 1):
            fields.update({"NODE%d_ADDRESS" % i: "127.0.0.1", "NODE%d_PORT" % i: m.port})
        with open(CONFIG) as f:
            config = re.sub(r"@(\w+)@", lambda g: str(fields[g.group(1)]), f.read())
        path = os.path.join(self.top, "haproxy.cfg")
        write(path, config.encode())
        # In the foreground, never as a system service; ended by the test.
        self.balancer = subprocess.Popen([self.haproxy, "-db", "-f", path],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(self.end_balancer)
        # Each node has answered a health check (the balancer's own header).
        for m in self.nodes:
            self.assertTrue(wait_until(lambda: "Version 2 header without a client" in m.log_text(),
                                       20),
                            m.log_text()[-2000:])
        self.url = "ftp://%s:%s@127.0.0.1:%d/" % (USER, PASSWORD, self.front)

    def end_balancer(self):
        self.balancer.kill()
        self.balancer.wait()
        self.balancer.stderr.close()

    def run_client(self, *args):
        r = subprocess.run(args, capture_output=True, timeout=120)
        self.assertEqual(r.returncode, 0, "%s\n%r" % (" ".join(args), r.stderr))
        return r.stdout

    def curl(self, *args):
        return self.run_client("curl", "-sS", "--max-time", "60", "--interface", CLIENT,
                               "--disable-epsv", *args)

    def lftp(self, script):
        return self.run_client(
            "lftp", "-u", "%s,%s" % (USER, PASSWORD), "-p", str(self.front), "-e",
            "set net:socket-bind-ipv4 %s; set ftp:prefer-epsv no; set net:max-retries 2; "
            "set net:timeout 20; set cmd:fail-exit yes; set xfer:clobber on; %s; quit"
            % (CLIENT, script), "127.0.0.1")

    def audited(self, command, name):
        # The nodes whose audit records show command on name for the client.
        pattern = "address %s command %s path %s" % (CLIENT, command, os.path.join(self.shared, name))
        return [i for i, m in enumerate(self.nodes) if pattern in m.log_text()]

    def test_upload_on_one_node_download_from_the_other_and_survive_a_stop(self):
        # Round robin sends consecutive sessions to alternate nodes; a
        # download is repeated (bounded) until the other node served it.
        for up, down in (("curl", "lftp"), ("lftp", "curl")):
            with self.subTest(up=up, down=down):
                name = "by-%s.bin" % up
                data = os.urandom(3 * 1024 * 1024 + 17)
                src = os.path.join(self.top, name)
                write(src, data)
                if up == "curl":
                    self.curl("-T", src, self.url + name)
                else:
                    self.lftp("put %s -o %s" % (src, name))
                self.assertEqual(read(os.path.join(self.shared, name)), data)
                self.assertTrue(wait_until(lambda: self.audited("STOR", name)))
                writer = self.audited("STOR", name)
                for _ in range(4):
                    back = os.path.join(self.top, "back-" + name)
                    if down == "curl":
                        got = self.curl(self.url + name)
                    else:
                        self.lftp("get %s -o %s" % (name, back))
                        got = read(back)
                    self.assertEqual(got, data)
                    wait_until(lambda: self.audited("RETR", name))
                    if set(self.audited("RETR", name)) - set(writer):
                        break
                self.assertTrue(set(self.audited("RETR", name)) - set(writer),
                                "no download from the node that did not take the upload")

        # The views: a session through the balancer is listed by its node
        # with the client's address.
        ftp = ftplib.FTP(timeout=20, source_address=(CLIENT, 0))
        ftp.connect("127.0.0.1", self.front)
        ftp.login(USER, PASSWORD)
        self.addCleanup(ftp.close)
        self.assertTrue(any(socket.inet_aton(CLIENT) in self.view(m) for m in self.nodes))
        # Restrict: data connections only to and from the client's host.
        self.assertRaisesRegex(ftplib.error_perm, "^501 IP address restricted",
                               ftp.sendcmd, "PORT 127,0,0,1,100,100")
        self.assertTrue(ftp.sendcmd("PORT 127,0,0,7,100,100").startswith("200"))
        ftp.quit()

        # Node 1 stops; new sessions go on through node 2.
        self.nodes[0].stop(self.procs[0])
        for _ in range(4):
            self.assertEqual(self.curl(self.url + "by-curl.bin"),
                             read(os.path.join(self.shared, "by-curl.bin")))

    def view(self, m):
        # The addresses in the update records a node sends an admin.
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as reader:
            reader.bind(os.path.join(m.root, "slot-client"))
            reader.settimeout(1)
            reader.sendto(message(IPC_MSG_REFRESH_REQUEST), os.path.join(m.root, "slot-server"))
            seen = b""
            try:
                while True:
                    got = reader.recv(300)
                    if got[0] == IPC_MSG_UPDATE:
                        seen += got[8:12]
            except socket.timeout:
                pass
            os.unlink(os.path.join(m.root, "slot-client"))
            return seen

    def test_a_file_being_written_on_one_node_is_not_read_on_the_other(self):
        writer, reader = direct_session(self.nodes[0].port), direct_session(self.nodes[1].port)
        self.addCleanup(writer.close)
        self.addCleanup(reader.close)
        writer.voidcmd("TYPE I")
        data = writer.transfercmd("STOR open.bin")
        data.sendall(b"x" * 100000)
        self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(self.shared, "open.bin"))))
        reader.voidcmd("TYPE I")
        with self.assertRaises(ftplib.Error):
            reader.retrbinary("RETR open.bin", lambda b: None)
        with self.assertRaises(ftplib.Error):
            reader.delete("open.bin")
        with self.assertRaises(ftplib.Error):
            reader.storbinary("STOR open.bin", io.BytesIO(b"y"))
        data.close()
        writer.voidresp()
        got = bytearray()
        reader.retrbinary("RETR open.bin", got.extend)
        self.assertEqual(bytes(got), b"x" * 100000)
        reader.delete("open.bin")


if __name__ == "__main__":
    unittest.main()
