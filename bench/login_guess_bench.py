#!/usr/bin/env python3
"""Password guessing against the real build/bin/dockhand (service role, from a
temporary BRINDLEX_ROOT configured with build/bin/brindlex-reg, default
failed-login settings): 16 threads guess the password of one account with
the PASS-then-drop trick (send PASS, wait 50 ms for a quick "230", else drop
the connection and try the next word), from one address or each thread from
an address of its own. Meanwhile another account logs in correctly from
another address once a second and its login times are recorded.

Prints one JSON line per run: the passwords the server actually checked for
the account (its "invalid login" records; a PASS refused unchecked during a
lock is no guess), per second, the attempts the guessers made, whether the
password was found, and the other account's login times (median, max).

    bench/login_guess_bench.py [--seconds 20] [--threads 16]
"""

import argparse
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from server_bench import BIN, free_port, wait_port  # noqa: E402

VICTIM, SECRET = "victim", "zz-right-word"
OTHER, OTHER_PASSWORD = "other", "other-pw"


def reply(sock, timeout):
    sock.settimeout(timeout)
    data = b""
    while not data.endswith(b"\r\n"):
        chunk = sock.recv(4096)
        if not chunk:
            break
        data += chunk
    return data.decode(errors="replace")


def try_password(port, local, user, password, wait):
    """One login attempt: the first reply to PASS within wait seconds ("" when
    none came: the guesser takes that as a wrong password and drops)."""
    with socket.create_connection(("127.0.0.1", port), timeout=5, source_address=(local, 0)) as s:
        reply(s, 5)
        s.sendall(("USER %s\r\n" % user).encode())
        reply(s, 5)
        s.sendall(("PASS %s\r\n" % password).encode())
        try:
            return reply(s, wait)
        except socket.timeout:
            return ""


def start_server(top):
    root = os.path.join(top, "machine")
    work = os.path.join(top, "work")
    data = os.path.join(top, "data")
    for d in (root, work, data):
        os.makedirs(d)
    env = dict(os.environ, BRINDLEX_ROOT=root)

    def reg(*args, stdin=None):
        subprocess.run([os.path.join(BIN, "brindlex-reg"), *args], env=env, input=stdin, text=True,
                       check=True, capture_output=True)

    port = free_port()
    reg("set", "System", "Port", "--dword", str(port))
    reg("set", "Path", "Work", "--string", work)
    log = os.path.join(top, "log")
    os.makedirs(log)
    reg("set", "Log", "Logging", "--dword", "1")
    reg("set", "Log", "Path", "--string", log)
    for level in range(6):
        reg("set", "Log", "TRACE%d" % level, "--dword", "0")
    for user, password in ((VICTIM, SECRET), (OTHER, OTHER_PASSWORD)):
        reg("set", "Users\\" + user, "Root", "--string", data)
        reg("passwd", user, stdin=password + "\n")
    proc = subprocess.Popen([os.path.join(BIN, "dockhand"), "service"], env=env, cwd=top,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_port(port, proc):
        raise SystemExit("dockhand did not start")
    return proc, port, log


def checked(log):
    """Passwords the server checked and found wrong for the attacked account."""
    count = 0
    for name in os.listdir(log):
        with open(os.path.join(log, name), errors="replace") as f:
            count += sum("invalid login for %s" % VICTIM in line for line in f)
    return count


def run(port, seconds, threads, spread):
    # The right word comes 2,000th: the trick finds it in seconds without the
    # failed-login locks.
    words = iter(["guess-%06d" % i for i in range(1999)] + [SECRET] +
                 ["guess-%06d" % i for i in range(2000, 10 ** 6)])
    lock = threading.Lock()
    guesses = [0]
    found = [False]
    stop = time.monotonic() + seconds

    def guesser(n):
        local = "127.0.%d.%d" % (1 + n // 200, 10 + n % 200) if spread else "127.0.0.1"
        while time.monotonic() < stop and not found[0]:
            with lock:
                word = next(words)
            try:
                answer = try_password(port, local, VICTIM, word, 0.05)
            except OSError:
                continue
            if answer.startswith("421"):
                continue  # refused unchecked: not a guess
            with lock:
                guesses[0] += 1
                if answer.startswith("230"):
                    found[0] = True

    logins = []

    def other():
        while time.monotonic() < stop:
            start = time.monotonic()
            answer = try_password(port, "127.0.0.250", OTHER, OTHER_PASSWORD, 10)
            logins.append((time.monotonic() - start, answer[:3]))
            time.sleep(1)

    workers = [threading.Thread(target=guesser, args=(n,)) for n in range(threads)]
    workers.append(threading.Thread(target=other))
    began = time.monotonic()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    elapsed = time.monotonic() - began
    times = [t for t, code in logins if code == "230"]
    return {
        "guessers": "one address each" if spread else "one address",
        "threads": threads,
        "seconds": round(elapsed, 1),
        "attempts": guesses[0],
        "found": found[0],
        "other_logins_ok": len(times),
        "other_logins_failed": len(logins) - len(times),
        "other_login_ms_median": round(statistics.median(times) * 1000, 1) if times else None,
        "other_login_ms_max": round(max(times) * 1000, 1) if times else None,
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--threads", type=int, default=16)
    args = parser.parse_args()
    for spread in (False, True):
        with tempfile.TemporaryDirectory(prefix="bx-guess-") as top:
            proc, port, log = start_server(top)
            try:
                result = run(port, args.seconds, args.threads, spread)
            finally:
                proc.terminate()
                proc.wait(30)
            guesses = checked(log) + (1 if result["found"] else 0)
            result["guesses"] = guesses
            result["guesses_per_second"] = round(guesses / result["seconds"], 2)
            print(json.dumps(result), flush=True)


if __name__ == "__main__":
    main()
