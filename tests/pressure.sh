#!/usr/bin/env bash
# Runs a command on a machine under pressure, the way a busy CI machine or a
# developer's laptop is: stress-ng workers on CPU, memory and disk, and many
# loopback sockets left in TIME_WAIT (so the kernel still holds ports that
# tests may want). The suite must pass like this.
#
#   tests/pressure.sh [-t SECONDS] [COMMAND...]
#   tests/pressure.sh ctest --preset default -j2
#   tests/pressure.sh -t 120            # only the pressure, for two minutes
#
# The pressure stops when COMMAND ends, after SECONDS (default 1800) in any
# case, or on Ctrl-C; the exit status is COMMAND's. Everything stays on
# 127.0.0.1 and inside bounds: PRESSURE_CPU workers (default 2), one memory
# worker of PRESSURE_VM_BYTES (default 1G), one I/O worker, and at most
# PRESSURE_SOCKETS (default 20000) connections opened and closed at a time.
# Needs stress-ng (Debian package stress-ng; not part of scripts/deps.sh,
# since no test needs it) and python3.
set -uo pipefail

seconds=1800
if [ "${1:-}" = "-t" ]; then
  seconds=$2
  shift 2
fi
cpu=${PRESSURE_CPU:-2}
vm_bytes=${PRESSURE_VM_BYTES:-1G}
sockets=${PRESSURE_SOCKETS:-20000}

if ! command -v stress-ng >/dev/null; then
  echo "pressure.sh: stress-ng is missing (apt-get install stress-ng)" >&2
  exit 2
fi

pids=()
stop() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait "${pids[@]}" 2>/dev/null
}
trap 'stop; exit 130' INT TERM

stress-ng --cpu "$cpu" --vm 1 --vm-bytes "$vm_bytes" --io 1 --hdd 1 --hdd-bytes 64M \
  --temp-path "${TMPDIR:-/tmp}" --timeout "${seconds}s" --quiet &
pids+=($!)

# Churns loopback connections whose client side closes first, so each leaves
# a socket in TIME_WAIT on one of the ephemeral ports; TIME_WAIT lasts a
# minute, so the churn goes on, in rounds of $sockets, until the time is up.
python3 - "$seconds" "$sockets" <<'EOF' &
import socket, sys, time
seconds, count = float(sys.argv[1]), int(sys.argv[2])
end = time.monotonic() + seconds
servers = []
for _ in range(4):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(1024)
    servers.append(s)
while time.monotonic() < end:
    made = 0
    while made < count and time.monotonic() < end:
        for s in servers:
            c = socket.socket()
            try:
                c.connect(s.getsockname())
            except OSError:
                c.close()
                time.sleep(0.1)
                continue
            a, _ = s.accept()
            c.close()  # the client closes first: its side waits in TIME_WAIT
            a.close()
            made += 1
    time.sleep(min(20, max(0, end - time.monotonic())))
EOF
pids+=($!)

status=0
if [ $# -gt 0 ]; then
  sleep 5  # let the workers and the sockets build up
  "$@"
  status=$?
  stop
else
  wait "${pids[@]}"
fi
exit $status
