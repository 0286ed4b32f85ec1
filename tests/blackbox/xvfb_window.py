# The administration window end to end, on a virtual X display (run under
# xvfb-run): the real dockhand as the server with its window and three real
# clients, then a second dockhand as its admin.
#
# The trees are read from outside, as a user sees them: each window is
# captured from the X server and its text rows are found as bands of dark
# pixels. A window shows the menu bar, the caption "Active Connections", one
# row per tree item and the status bar, so its items are the bands less three,
# and two windows list the same items when their item rows are pixel for pixel
# the same.

import os
import re
import socket
import subprocess
import unittest

from harness import VERSION_CAPTION, Machine, has_ipv6_loopback, wait_until


def windows():
    # The top-level windows titled "Brindlex": {id: (x, y)}.
    out = subprocess.run(["xwininfo", "-root", "-children"], capture_output=True, text=True).stdout
    found = re.findall(r'^\s*(0x[0-9a-f]+) "Brindlex": .*\)\s+\d+x\d+\+(-?\d+)\+(-?\d+)', out, re.M)
    return {i: (int(x), int(y)) for i, x, y in found}


def item_rows(window_id, dark=100, join=2):
    # The pictures of the window's tree rows, top to bottom, or None before
    # it shows its bars. A row is a run of rows of pixels holding dark ones;
    # gaps of at most join rows (an underlined mnemonic) stay inside one run.
    pgm = subprocess.run(["import", "-window", window_id, "-colorspace", "gray", "-depth", "8", "pgm:-"],
                         capture_output=True, timeout=30).stdout
    header = re.match(rb"P5\s+(\d+)\s+(\d+)\s+\d+\s", pgm)
    w, h = int(header[1]), int(header[2])
    rows = [pgm[header.end() + y * w:header.end() + (y + 1) * w] for y in range(h)]
    runs = []
    for y, row in enumerate(rows):
        if min(row) < dark:
            if runs and y - runs[-1][1] <= join + 1:
                runs[-1] = (runs[-1][0], y)
            else:
                runs.append((y, y))
    if len(runs) < 3:  # menu bar, "Active Connections", status bar
        return None
    return [b"".join(rows[a:b + 1]) for a, b in runs[2:-1]]


class WindowTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.environ.get("DISPLAY"), "run under xvfb-run")
        self.m = Machine()
        self.addCleanup(self.m.close)  # its programs see no display unless a test gives them one

    def wait_items(self, window_id, count):
        def shown():
            rows = item_rows(window_id)
            return rows is not None and len(rows) == count and [rows]
        found = wait_until(shown, step=0.1)
        self.assertTrue(found, "window %s did not show %d items" % (window_id, count))
        return found[0]

    def test_server_and_admin_windows_list_the_live_connections(self):
        self.m.env.update((n, os.environ[n]) for n in ("DISPLAY", "XAUTHORITY") if n in os.environ)
        # The server's window opens where the store says; the admin's at the
        # window system's default place, so the two do not overlap.
        for value, number in (("Left", 500), ("Top", 300), ("Right", 800), ("Bottom", 500)):
            self.m.reg("set", "Window", value, "--dword", str(number))
        server = self.m.start()
        self.assertTrue(wait_until(lambda: len(windows()) == 1), "no server window")
        (server_id, geometry), = windows().items()
        self.assertEqual(geometry, (500, 300))

        self.wait_items(server_id, 0)
        # The last client comes over IPv6 where the machine has it: the admin
        # learns of it through the IPv6 update record.
        hosts = ["127.0.0.1", "127.0.0.1", "::1" if has_ipv6_loopback() else "127.0.0.1"]
        clients = [socket.create_connection((host, self.m.port), timeout=5) for host in hosts]
        for c in clients:
            self.addCleanup(c.close)
            self.assertTrue(c.recv(1024).startswith(b"220"))
        server_rows = self.wait_items(server_id, 3)

        # The admin asks for the server's list as it starts and shows it.
        admin = self.m.start(wait=False)
        self.assertTrue(wait_until(lambda: len(windows()) == 2), "no admin window")
        admin_id = next(i for i in windows() if i != server_id)
        self.assertEqual(sorted(self.wait_items(admin_id, 3)), sorted(server_rows), "the admin lists other items")

        # The first client leaves: both trees drop its item and no other.
        clients.pop(0).close()
        server_rows = self.wait_items(server_id, 2)
        self.assertEqual(sorted(self.wait_items(admin_id, 2)), sorted(server_rows))

        # SIGTERM closes the server's window: connections first, then the
        # slots, then logging.
        self.assertEqual(self.m.stop(server), 0)
        log = self.m.log_text()
        order = [log.find("server DestroyProc: Waiting for socket window to close..."),
                 log.find("server DestroyProc: Socket window closed."),
                 log.find("server IpcShutdown: closing incoming slot"),
                 log.find("server +++ Stopping %s +++" % VERSION_CAPTION)]
        self.assertTrue(all(a >= 0 for a in order) and order == sorted(order), order)
        for c in clients:
            self.assertEqual(c.recv(100), b"", "a client's connection outlived the server")
        self.assertEqual(list(windows()), [admin_id])
        self.assertEqual(self.m.stop(admin), 0)
        self.assertEqual(windows(), {})

    def test_without_a_display_the_server_says_so_and_serves(self):
        server = self.m.start()
        self.assertEqual(windows(), {})
        self.assertEqual(self.m.stop(server), 0)
        lines = server.stderr.read().decode().splitlines()
        self.assertEqual([l for l in lines if "display" in l],
                         ["dockhand: no display can be used; running without a window."])
