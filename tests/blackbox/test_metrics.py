# The metrics endpoint of a real server (System\MetricsAddress): its counts
# after some sessions, Debian's promtool accepts the text, a real Prometheus
# (run in the foreground with its own configuration and storage) scrapes it
# and answers the session count through its query API, and a reload moves
# the endpoint or, for an address in use, leaves FTP serving without it.

import ftplib
import io
import json
import os
import re
import shutil
import socket
import subprocess
import unittest
import urllib.error
import urllib.request

from harness import PASSWORD, USER, Machine, free_port, login, wait_until


def tool(name):
    # promtool and prometheus: missing fails the test under CI, else skips it.
    path = shutil.which(name)
    if not path:
        if os.environ.get("CI"):
            raise AssertionError("%s is not installed (scripts/deps.sh installs it)" % name)
        raise unittest.SkipTest("%s is not installed: scripts/deps.sh installs it "
                                "(in CI, with CI set, this test fails instead)" % name)
    return path


def fetch(port, path="/metrics"):
    # (status, body) of an HTTP GET; (0, "") when nothing answers.
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=5) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, ""
    except OSError:
        return 0, ""


def samples(text):
    # {'name{labels}': value} of every sample line.
    out = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            key, value = line.rsplit(" ", 1)
            out[key] = float(value)
    return out


class Metrics(unittest.TestCase):
    def setUp(self):
        self.m = Machine()
        self.addCleanup(self.m.close)
        self.m.add_user(USER, PASSWORD)
        self.mport = free_port()
        self.m.reg("set", "System", "MetricsAddress", "--string", "127.0.0.1:%d" % self.mport)
        self.m.reg("set", "System", "MetricsPerAccount", "--dword", "1")
        self.m.reg("set", "System", "LoginFailLimit", "--dword", "0")
        self.server = self.m.start("service")
        self.assertTrue(wait_until(lambda: fetch(self.mport)[0] == 200), self.m.log_text()[-2000:])

    def test_counts_promtool_and_a_real_prometheus(self):
        # The harness's probe of the FTP port is a session too.
        probes = samples(fetch(self.mport)[1])["brindlex_sessions_total"]
        payload = b"metrics" * 1000
        with login(self.m.port, USER, PASSWORD) as f:
            f.storbinary("STOR m.bin", io.BytesIO(payload))
            got = io.BytesIO()
            f.retrbinary("RETR m.bin", got.write)
        with self.assertRaises(ftplib.error_perm):
            login(self.m.port, USER, "wrong")
        held = login(self.m.port, USER, PASSWORD)
        self.addCleanup(held.close)
        self.assertEqual(fetch(self.mport, "/other")[0], 404)

        want = {
            "brindlex_sessions": 1,
            "brindlex_sessions_total": probes + 3,
            'brindlex_logins_total{result="accepted"}': 2,
            'brindlex_logins_total{result="refused"}': 1,
            'brindlex_transfers_total{direction="upload",result="complete"}': 1,
            'brindlex_transfers_total{direction="download",result="complete"}': 1,
            'brindlex_transfer_bytes_total{direction="upload"}': len(payload),
            'brindlex_transfer_bytes_total{direction="download"}': len(payload),
            'brindlex_account_logins_total{account="%s"}' % USER: 2,
            'brindlex_connections_refused_total{limit="max_conn"}': 0,
            'brindlex_quota_refusals_total': 0,
            'brindlex_throttled_seconds_total': 0,
        }
        text = ""

        def settled():
            nonlocal text
            text = fetch(self.mport)[1]
            have = samples(text)
            return all(have.get(k) == v for k, v in want.items())
        self.assertTrue(wait_until(settled), text)
        self.assertRegex(text, r'brindlex_build_info\{version="[0-9.]+"\} 1')

        check = subprocess.run([tool("promtool"), "check", "metrics"], input=text,
                               capture_output=True, text=True, timeout=60)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

        # A real Prometheus, loopback only, scraping every second.
        prometheus = tool("prometheus")
        config = os.path.join(self.m.top, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\nscrape_configs:\n"
                    "  - job_name: brindlex\n    static_configs:\n"
                    "      - targets: ['127.0.0.1:%d']\n" % self.mport)
        web = free_port()
        p = subprocess.Popen([prometheus, "--config.file=" + config,
                              "--storage.tsdb.path=" + os.path.join(self.m.top, "tsdb"),
                              "--web.listen-address=127.0.0.1:%d" % web],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

        def stop():
            p.kill()
            p.wait()
            p.stderr.close()
        self.addCleanup(stop)

        def sessions():
            status, body = fetch(web, "/api/v1/query?query=brindlex_sessions_total")
            if status != 200:
                return None
            result = json.loads(body)["data"]["result"]
            return result and result[0]["value"][1]
        self.assertEqual(wait_until(sessions, timeout=60, step=0.5), "%d" % (probes + 3))

    def test_reload_moves_the_endpoint_and_an_address_in_use_leaves_ftp_serving(self):
        moved = free_port()
        self.m.reg("set", "System", "MetricsAddress", "--string", "127.0.0.1:%d" % moved)
        self.assertTrue(wait_until(lambda: fetch(moved)[0] == 200))
        self.assertEqual(fetch(self.mport)[0], 0)

        with socket.socket() as busy:
            busy.bind(("127.0.0.1", 0))
            busy.listen()
            taken = busy.getsockname()[1]
            self.m.reg("set", "System", "MetricsAddress", "--string", "127.0.0.1:%d" % taken)
            self.assertTrue(wait_until(lambda: re.search(
                r"Metrics: cannot listen at MetricsAddress 127\.0\.0\.1:%d" % taken,
                self.m.log_text())))
            self.assertEqual(fetch(moved)[0], 0)
            with login(self.m.port, USER, PASSWORD) as f:
                self.assertEqual(f.voidcmd("NOOP")[:3], "200")
        # brindlex-reg refuses a value the server could not use.
        with self.assertRaises(AssertionError):
            self.m.reg("set", "System", "MetricsAddress", "--string", "localhost")

if __name__ == "__main__":
    unittest.main()
