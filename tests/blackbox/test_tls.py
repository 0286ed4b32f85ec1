# FTP over TLS against the real server: curl, lftp, rclone and Python's
# ftplib with a test CA and server certificate made here with openssl, and
# the cases a client cannot make (garbage, half a handshake, data read in
# clear) on the socket.

import ftplib
import io
import os
import signal
import socket
import ssl
import subprocess
import unittest

from harness import (PASSWORD, USER, Machine, ServerTest, make_tree, read, tree,
                     wait_until, write)


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=60)


def make_certificates(top, name="server"):
    # A CA and a certificate for 127.0.0.1 it signed; the key readable by its
    # owner only. Returns (ca, certificate, key).
    ca_key, ca = os.path.join(top, "ca.key"), os.path.join(top, "ca.pem")
    if not os.path.exists(ca):
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", ca_key, "-out", ca, "-days", "2", "-subj", "/CN=Brindlex test CA")
    key, csr, cert = (os.path.join(top, name + ext) for ext in (".key", ".csr", ".pem"))
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", key, "-out", csr, "-subj", "/CN=127.0.0.1")
    ext = os.path.join(top, "san.cnf")
    write(ext, b"subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial",
            "-out", cert, "-days", "2", "-extfile", ext)
    os.chmod(key, 0o600)
    return ca, cert, key


def closed(s):
    # Whether the server closes s (reading what it still sends) within 30 s.
    s.settimeout(30)
    with s:
        try:
            while s.recv(4096):
                pass
        except ConnectionResetError:
            pass
        except socket.timeout:
            return False
    return True


class ReusingFTP(ftplib.FTP_TLS):
    # Data connections resume the control connection's TLS session, as the
    # server asks by default (ftplib alone does not).
    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host,
                                            session=self.sock.session)
        return conn, size


class TlsTest(ServerTest):
    extensions = True
    tls = 1

    def setUp(self):
        super().setUp()
        self.ca, self.cert, self.key = make_certificates(self.m.top)
        self.configure(Tls=self.tls, TlsCertificate=self.cert, TlsKey=self.key)
        self.url = "ftp://%s:%s@127.0.0.1:%d/" % (USER, PASSWORD, self.m.port)

    def configure(self, restart=True, **values):
        for name, value in values.items():
            kind = "--dword" if isinstance(value, int) else "--string"
            self.m.reg("set", "System", name, kind, str(value))
        if restart:
            self.m.stop(self.server)
            self.server = self.m.start("service")

    def context(self):
        return ssl.create_default_context(cafile=self.ca)

    def ftp_tls(self, cls=ReusingFTP, user=USER, password=PASSWORD):
        ftp = cls(context=self.context(), timeout=20)
        ftp.connect("127.0.0.1", self.m.port)
        ftp.login(user, password)
        ftp.prot_p()
        return ftp

    def raw(self):
        s = socket.create_connection(("127.0.0.1", self.m.port), timeout=20)
        f = s.makefile("rb")
        self.assertTrue(f.readline().startswith(b"220"))
        return s, f

    def curl(self, *args, ok=True):
        return self.run_client("curl", "-sS", "--max-time", "60", "--ssl-reqd", "--cacert",
                               self.ca, *args, ok=ok)


class ClientsTest(TlsTest):
    def test_curl(self):
        # Passive only: this curl sends an active upload in clear after PROT P
        # (refused); active mode is the ftplib case's.
        data = self.rnd.randbytes(3 * 1024 * 1024 + 17)
        src = os.path.join(self.local, "up.bin")
        write(src, data)
        self.curl("-T", src, self.url + "up.bin")
        self.assertEqual(read(self.served("up.bin")), data)
        self.assertEqual(self.curl(self.url + "up.bin"), data)
        self.assertEqual(self.curl("-C", "70000", self.url + "up.bin"), data[70000:])
        self.assertIn("up.bin", self.curl("--list-only", self.url).decode().split())

    def test_curl_implicit_port(self):
        port = self.m.port + 1 if self.m.port < 32000 else self.m.port - 1
        self.configure(ImplicitTlsPort=port)
        write(self.served("i.bin"), b"implicit" * 5000)
        url = "ftps://%s:%s@127.0.0.1:%d/i.bin" % (USER, PASSWORD, port)
        self.assertEqual(self.curl(url), b"implicit" * 5000)

    def test_lftp_mirror_and_pget(self):
        self.client_needed("lftp")
        settings = ("set ftp:ssl-force true; set ftp:ssl-protect-data true; "
                    "set ssl:ca-file %s; set ssl:check-hostname no; " % self.ca)
        back = os.path.join(self.m.top, "back")
        make_tree(self.local, 60, self.rnd)
        self.lftp(settings + "mirror -R %s tree" % self.local)
        self.assertTrue(tree(self.local) == tree(self.served("tree")))
        self.lftp(settings + "mirror tree %s" % back)
        self.assertTrue(tree(self.local) == tree(back))
        big = self.rnd.randbytes(5 * 1024 * 1024 + 3)
        write(self.served("big.bin"), big)
        self.lftp(settings + "pget -n 4 big.bin -o %s" % os.path.join(back, "big.bin"))
        self.assertEqual(read(os.path.join(back, "big.bin")), big)

    def test_rclone_explicit_tls(self):
        self.client_needed("rclone")
        secret = subprocess.run(["rclone", "obscure", PASSWORD], capture_output=True, text=True,
                                check=True).stdout.strip()
        remote = (":ftp,host=127.0.0.1,port=%d,user=%s,pass=%s,explicit_tls=true,"
                  "no_check_certificate=true:" % (self.m.port, USER, secret))
        make_tree(self.local, 20, self.rnd)
        back = os.path.join(self.m.top, "back")
        self.run_client("rclone", "copy", self.local, remote + "r")
        self.run_client("rclone", "copy", remote + "r", back)
        self.assertTrue(tree(self.local) == tree(back) == tree(self.served("r")))

    def test_ftplib_resumes_and_plain_ftplib_is_refused(self):
        data = self.rnd.randbytes(700000)
        ftp = self.ftp_tls()
        for passive in (True, False):
            ftp.set_pasv(passive)
            ftp.storbinary("STOR f.bin", io.BytesIO(data))
            got = []
            ftp.retrbinary("RETR f.bin", got.append)
            self.assertEqual(b"".join(got), data)
        ftp.quit()
        # Without the session's resumption a data connection is refused.
        plain = self.ftp_tls(cls=ftplib.FTP_TLS)
        with self.assertRaises((ftplib.error_perm, OSError)) as e:
            plain.retrbinary("RETR f.bin", got.append)
        # The client may stumble on the closed connection before the reply.
        reply = str(e.exception) if isinstance(e.exception, ftplib.Error) else plain.getline()
        self.assertTrue(reply.startswith("522"), reply)
        plain.voidcmd("NOOP")  # the session goes on
        plain.close()
        # With the requirement off, the same client transfers.
        self.configure(TlsDataResume=0)
        plain = self.ftp_tls(cls=ftplib.FTP_TLS)
        got = []
        plain.retrbinary("RETR f.bin", got.append)
        self.assertEqual(b"".join(got), data)

    def test_a_session_shared_by_connections_of_one_account_and_host(self):
        # Clients that keep one session cache for several control connections:
        # a data connection may resume the session of another logged-in
        # control connection of its account from its host, and no other.
        self.m.add_user("other", PASSWORD)
        # Two socket threads, each new client handed to the less busy one: the
        # two sessions of a row run on different threads as a rule.
        self.configure(SocketThreads=2)
        write(self.served("s.bin"), b"shared" * 1000)
        context = self.context()  # sessions resume only in their own context

        class SharedFTP(ftplib.FTP_TLS):
            session = None

            def ntransfercmd(self, cmd, rest=None):
                conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
                return self.context.wrap_socket(conn, server_hostname=self.host,
                                                session=self.session), size

        def session_of(cls, user, source):
            ftp = cls(context=context, timeout=20)
            ftp.connect("127.0.0.1", self.m.port, source_address=(source, 0))
            ftp.login(user, PASSWORD)
            ftp.prot_p()
            return ftp

        # The holder of the shared session: its account, its host, and what it
        # did before the other connection's transfer.
        for holder_user, holder_host, then, accepted in [
                (USER, "127.0.0.1", None, True),
                ("other", "127.0.0.1", None, False),
                (USER, "127.0.0.2", None, False),
                (USER, "127.0.0.1", "REIN", False),
                (USER, "127.0.0.1", "QUIT", False)]:
            with self.subTest(holder=holder_user, host=holder_host, then=then):
                holder = session_of(ftplib.FTP_TLS, holder_user, holder_host)
                holder.voidcmd("NOOP")  # its session ticket has come with the replies
                ftp = session_of(SharedFTP, USER, "127.0.0.1")
                ftp.session = holder.sock.session
                if then:
                    holder.sendcmd(then)
                got = []
                if accepted:
                    ftp.retrbinary("RETR s.bin", got.append)
                    self.assertEqual(b"".join(got), b"shared" * 1000)
                else:
                    with self.assertRaises((ftplib.error_perm, OSError)) as e:
                        ftp.retrbinary("RETR s.bin", got.append)
                    reply = (str(e.exception) if isinstance(e.exception, ftplib.Error)
                             else ftp.getline())
                    self.assertTrue(reply.startswith("522"), reply)
                ftp.close()
                holder.close()

    def client_needed(self, name):
        import shutil
        if not shutil.which(name):
            self.skipTest("%s is not installed" % name)


class ProtocolTest(TlsTest):
    def test_replies(self):
        s, f = self.raw()
        with s:
            def ask(line, sock=s, reader=f):
                sock.sendall(line + b"\r\n")
                while (reply := reader.readline())[3:4] == b"-":
                    pass
                return reply[:3]

            for line, code in [(b"PBSZ 0", b"503"), (b"PROT P", b"503"), (b"AUTH KERBEROS", b"504"),
                               (b"CCC", b"534")]:
                self.assertEqual(ask(line), code, line)
            s.sendall(b"FEAT\r\n")
            feat = []
            while not (line := f.readline()).startswith(b"211 "):
                feat.append(line.strip())
            self.assertTrue({b"AUTH TLS", b"PBSZ", b"PROT"} <= set(feat), feat)
            self.assertEqual(ask(b"AUTH TLS"), b"234")
            t = self.context().wrap_socket(s, server_hostname="127.0.0.1")
            g = t.makefile("rb")
            for line, code in [(b"PROT P", b"503"), (b"PBSZ 0", b"200"), (b"PROT S", b"536"),
                               (b"PROT X", b"504"), (b"PROT C", b"200"), (b"PROT P", b"200"),
                               (b"AUTH TLS", b"534"), (b"USER " + USER.encode(), b"331"),
                               (b"PASS " + PASSWORD.encode(), b"230"), (b"CCC", b"534"),
                               # REIN: logged out, still protected, PBSZ and PROT reset.
                               (b"REIN", b"220"), (b"PWD", b"530"), (b"PROT P", b"503"),
                               (b"AUTH TLS", b"534"), (b"USER " + USER.encode(), b"331"),
                               (b"PASS " + PASSWORD.encode(), b"230"), (b"PBSZ 0", b"200")]:
                self.assertEqual(ask(line, t, g), code, line)
            # Lines decrypted in one record beyond the first read are all
            # answered without waiting for another packet.
            t.sendall(b"NOOP\r\n" * 2000)
            for _ in range(2000):
                self.assertEqual(g.readline()[:3], b"200")

    def test_tls_off_keeps_auth_unknown(self):
        self.configure(Tls=0)
        s, f = self.raw()
        with s:
            s.sendall(b"AUTH TLS\r\n")
            self.assertEqual(f.readline(), b"500 Syntax error; command unrecognized.\r\n")

    def test_garbage_half_handshake_and_abor(self):
        self.configure(LoginTimeout=2)
        hello = self.ftp_tls()  # a whole session still works beside the broken ones
        s, f = self.raw()
        s.sendall(b"AUTH TLS\r\n")
        f.readline()
        s.sendall(b"GET / HTTP/1.0\r\n\r\n" * 10)  # no ClientHello
        self.assertTrue(closed(s))
        # Half a handshake: the descriptor comes back at LoginTimeout.
        s, f = self.raw()
        s.sendall(b"AUTH TLS\r\n")
        f.readline()
        s.sendall(bytes.fromhex("16030100c8010000c40303") + bytes(40))
        self.assertTrue(closed(s))
        # ABOR inside TLS ends a download under way.
        hello.quit()
        write(self.served("big.bin"), bytes(64 * 1024 * 1024))
        ftp = self.ftp_tls()
        ftp.voidcmd("TYPE I")
        conn = ftp.transfercmd("RETR big.bin")
        conn.recv(1024)
        ftp.sock.sendall(b"ABOR\r\n")
        first = ftp.getline()
        self.assertTrue(first.startswith("426") or first.startswith("226"), first)
        conn.close()
        ftp.voidcmd("NOOP")

    def test_data_in_clear_gives_nothing(self):
        write(self.served("secret.bin"), b"SECRET" * 10000)
        ftp = self.ftp_tls()
        ftp.voidcmd("TYPE I")
        host, port = ftp.makepasv()
        d = socket.create_connection((host, port), timeout=20)
        ftp.sendcmd("RETR secret.bin")  # 150: the server waits for a ClientHello
        d.settimeout(1)
        got = b""
        try:
            got = d.recv(65536)
        except socket.timeout:
            pass
        d.close()
        self.assertNotIn(b"SECRET", got)
        self.assertTrue(ftp.getline().startswith("426"))
        ftp.voidcmd("NOOP")


class PolicyTest(TlsTest):
    tls = 2

    def test_required_tls_and_certificate_problems(self):
        anon = "Users\\anonymous"
        self.m.reg("set", anon, "Anonymous", "--dword", "1")
        self.m.reg("set", anon, "Root", "--string", self.m.ftp)
        self.m.reg("set", anon, "List", "--dword", "1")
        self.configure()
        s, f = self.raw()
        with s:
            s.sendall(b"USER " + USER.encode() + b"\r\n")
            self.assertEqual(f.readline()[:3], b"530")
            s.sendall(b"USER anonymous\r\n")
            self.assertEqual(f.readline()[:3], b"331")
        ftp = self.ftp_tls()
        ftp.prot_c()
        with self.assertRaises(ftplib.error_perm) as e:
            ftp.nlst()
        self.assertTrue(str(e.exception).startswith("521"), e.exception)
        ftp.prot_p()
        ftp.nlst()
        # A key others may read, a key of another certificate: one line on
        # standard error naming the file; AUTH refused, no login in clear.
        other_ca, other_cert, other_key = make_certificates(self.m.top, "other")
        for cert, key, mode in [(self.cert, self.key, 0o644), (self.cert, other_key, 0o600)]:
            with self.subTest(key=key, mode=mode):
                os.chmod(key, mode)
                self.m.stop(self.server)
                self.configure(restart=False, TlsCertificate=cert, TlsKey=key)
                self.server = self.m.start("service")
                s, f = self.raw()
                with s:
                    s.sendall(b"AUTH TLS\r\nUSER %s\r\n" % USER.encode())
                    self.assertEqual(f.readline()[:3], b"431")
                    self.assertEqual(f.readline()[:3], b"530")
                self.m.stop(self.server)
                err = self.server.stderr.read().decode()
                self.assertIn(key, err)
                os.chmod(key, 0o600)
                self.server = self.m.start("service")
        # A renewed certificate is taken at SIGHUP by new connections.
        self.configure(TlsKey=self.key)
        before = self.peer_certificate()
        _, cert2, key2 = make_certificates(self.m.top, "renewed")
        self.configure(restart=False, TlsCertificate=cert2, TlsKey=key2)
        self.server.send_signal(signal.SIGHUP)
        self.assertTrue(wait_until(lambda: self.peer_certificate() != before, timeout=20))

    def peer_certificate(self):
        ftp = ftplib.FTP_TLS(context=self.context(), timeout=20)
        ftp.connect("127.0.0.1", self.m.port)
        ftp.auth()
        der = ftp.sock.getpeercert(binary_form=True)
        ftp.close()
        return der


if __name__ == "__main__":
    unittest.main()
