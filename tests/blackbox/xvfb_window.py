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

import ctypes
import os
import re
import socket
import subprocess
import unittest

from harness import VERSION_CAPTION, Machine, has_ipv6_loopback, wait_until


def windows(title="Brindlex"):
    # The top-level windows of that title: {id: (x, y)}.
    out = subprocess.run(["xwininfo", "-root", "-children"], capture_output=True, text=True).stdout
    found = re.findall(r'^\s*(0x[0-9a-f]+) "%s": .*\)\s+\d+x\d+\+(-?\d+)\+(-?\d+)' % re.escape(title),
                       out, re.M)
    return {i: (int(x), int(y)) for i, x, y in found}


def child_windows():
    # How many windows the root window has (a menu's popup is one of them).
    out = subprocess.run(["xwininfo", "-root", "-children"], capture_output=True, text=True).stdout
    return len(re.findall(r"^\s+0x[0-9a-f]+ ", out, re.M))


def bands(window_id, dark=100, join=2):
    # The runs of rows of pixels holding dark ones, top to bottom, as
    # ((first, last), picture); gaps of at most join rows (an underlined
    # mnemonic) stay inside one run.
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
    return [((a, b), b"".join(rows[a:b + 1])) for a, b in runs]


class Pointer:
    # The X server's test extension (libXtst, part of x11-utils' needs):
    # pointer clicks and key presses as a user makes them.
    def __init__(self):
        self.x11 = ctypes.CDLL("libX11.so.6")
        self.xtst = ctypes.CDLL("libXtst.so.6")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.dpy = ctypes.c_void_p(self.x11.XOpenDisplay(None))

    def click(self, x, y, button=1):
        self.xtst.XTestFakeMotionEvent(self.dpy, -1, x, y, 0)
        for down in (1, 0):
            self.xtst.XTestFakeButtonEvent(self.dpy, button, down, 0)
        self.x11.XFlush(self.dpy)

    def key(self, name):
        code = self.x11.XKeysymToKeycode(self.dpy, self.x11.XStringToKeysym(name.encode()))
        for down in (1, 0):
            self.xtst.XTestFakeKeyEvent(self.dpy, code, down, 0)
        self.x11.XFlush(self.dpy)

    def chord(self, *names):
        # Keys held down together, as Alt+F: pressed in order, released in
        # the reverse order.
        codes = [self.x11.XKeysymToKeycode(self.dpy, self.x11.XStringToKeysym(n.encode())) for n in names]
        for code in codes:
            self.xtst.XTestFakeKeyEvent(self.dpy, code, 1, 0)
        for code in reversed(codes):
            self.xtst.XTestFakeKeyEvent(self.dpy, code, 0, 0)
        self.x11.XFlush(self.dpy)

    def focus(self, window_id):
        # With no window manager on the display, a window takes the keyboard
        # only when it is given the input focus, which it can take only once
        # it is shown.
        def viewable():
            out = subprocess.run(["xwininfo", "-id", window_id], capture_output=True, text=True).stdout
            return "IsViewable" in out
        if not wait_until(viewable, step=0.05):
            raise AssertionError("window %s is not shown" % window_id)
        self.x11.XSetInputFocus(self.dpy, ctypes.c_ulong(int(window_id, 16)), 2, 0)  # RevertToParent
        self.x11.XFlush(self.dpy)

    def type(self, text):
        for ch in text:
            self.key({".": "period", ":": "colon"}.get(ch, ch))

    def close(self):
        self.x11.XCloseDisplay(self.dpy)


def item_rows(window_id):
    # The pictures of the window's tree rows, top to bottom, or None before
    # it shows its bars.
    found = bands(window_id)
    if len(found) < 3:  # menu bar, "Active Connections", status bar
        return None
    return [picture for _, picture in found[2:-1]]


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

    def test_admin_details_equal_the_servers_and_its_disconnect_ends_the_session(self):
        self.m.env.update((n, os.environ[n]) for n in ("DISPLAY", "XAUTHORITY") if n in os.environ)
        self.m.reg("set", "Display", "Details", "--dword", "1")  # both windows start with it
        for value, number in (("Left", 0), ("Top", 520), ("Right", 10), ("Bottom", 530)):
            self.m.reg("set", "Window", value, "--dword", str(number))
        self.m.add_user("dora", "dora-pw")
        server = self.m.start()
        self.assertTrue(wait_until(lambda: len(windows()) == 1), "no server window")
        (server_id, _), = windows().items()

        victim = socket.create_connection(("127.0.0.1", self.m.port), timeout=5)
        self.addCleanup(victim.close)
        self.assertTrue(victim.recv(1024).startswith(b"220"))
        for line in (b"USER dora\r\n", b"PASS dora-pw\r\n"):
            victim.sendall(line)
            self.assertTrue(victim.recv(1024)[:1] in (b"2", b"3"))
        idle = socket.create_connection(("127.0.0.1", self.m.port), timeout=5)
        self.addCleanup(idle.close)
        self.assertTrue(idle.recv(1024).startswith(b"220"))

        admin = self.m.start(wait=False)
        self.assertTrue(wait_until(lambda: len(windows()) == 2), "no admin window")
        admin_id, (ax, ay) = next((i, g) for i, g in windows().items() if i != server_id)

        # Header, two item rows and the status bar with the summary: the
        # same pictures in both windows once the admin has the details.
        def below_caption(window_id):
            return [picture for _, picture in bands(window_id)[2:]]
        same = wait_until(lambda: len(below_caption(server_id)) == 4 and
                          below_caption(admin_id) == below_caption(server_id), timeout=20, step=0.2)
        self.assertTrue(same, "the admin's details differ from the server's")

        # The victim's row (the first item) in the admin's window: select it,
        # open its context menu and choose Disconnect.
        (top, bottom), _ = bands(admin_id)[3]
        pointer = Pointer()
        self.addCleanup(pointer.close)
        pointer.click(ax + 40, ay + (top + bottom) // 2)
        before = child_windows()
        pointer.click(ax + 40, ay + (top + bottom) // 2, button=3)
        # The menu is a window of its own, made when it first shows.
        self.assertTrue(wait_until(lambda: child_windows() > before), "no context menu")
        pointer.key("d")
        victim.settimeout(10)
        got = b""
        while not got.endswith(b"\n") and (chunk := victim.recv(1024)):
            got += chunk
        self.assertTrue(got.startswith(b"421 "), got)
        self.assertEqual(victim.recv(100), b"", "the connection ends")
        idle.sendall(b"NOOP\r\n")
        self.assertTrue(idle.recv(1024).startswith(b"200"), "the other client is served on")
        self.assertTrue(wait_until(lambda: "(dora) at the request of an admin" in self.m.log_text()))
        self.assertEqual(self.m.stop(admin), 0)
        self.assertEqual(self.m.stop(server), 0)

    def test_advanced_page_moves_the_running_servers_listener(self):
        # The server's own Properties sheet, as an administrator uses it:
        # File > Properties, the Advanced tab, a listen address typed in, OK.
        # The running server then listens at that address only.
        self.m.env.update((n, os.environ[n]) for n in ("DISPLAY", "XAUTHORITY") if n in os.environ)
        for value, number in (("Left", 0), ("Top", 0), ("Right", 400), ("Bottom", 300)):
            self.m.reg("set", "Window", value, "--dword", str(number))
        server = self.m.start()
        self.assertTrue(wait_until(lambda: len(windows()) == 1), "no server window")
        (server_id, _), = windows().items()
        pointer = Pointer()
        self.addCleanup(pointer.close)
        pointer.focus(server_id)
        pointer.chord("Alt_L", "f")
        pointer.key("p")
        self.assertTrue(wait_until(lambda: len(windows("Properties")) == 1), "no Properties sheet")
        (sheet_id, _), = windows("Properties").items()
        pointer.focus(sheet_id)
        for _ in range(5):  # Display, Logging, Messages, Users, System, Advanced
            pointer.chord("Control_L", "Tab")
        pointer.chord("Alt_L", "d")  # Listen a&ddress
        pointer.type("127.0.0.2")
        pointer.key("Return")  # OK
        self.assertTrue(wait_until(lambda: windows("Properties") == {}), "the sheet stayed open")

        def greets(host):
            try:
                with socket.create_connection((host, self.m.port), timeout=5) as c:
                    return c.recv(1024).startswith(b"220")
            except OSError:
                return False
        self.assertTrue(wait_until(lambda: greets("127.0.0.2") and not greets("127.0.0.1"), timeout=20),
                        "the server did not move to 127.0.0.2")
        self.assertIn("127.0.0.2", self.m.reg("get", "System", "ListenAddress").stdout)
        self.assertEqual(self.m.stop(server), 0)

    def test_without_a_display_the_server_says_so_and_serves(self):
        server = self.m.start()
        self.assertEqual(windows(), {})
        self.assertEqual(self.m.stop(server), 0)
        lines = server.stderr.read().decode().splitlines()
        self.assertEqual([l for l in lines if "display" in l],
                         ["dockhand: no display can be used; running without a window."])
