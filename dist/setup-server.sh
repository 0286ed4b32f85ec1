#!/bin/sh
# Sets up a typical Brindlex FTP server with brindlex-reg, with the
# recommended values: port 21, a passive port range for the firewall, daily
# log files with the activity records only (trace levels off), login, idle
# and data time limits, the protocol extensions modern clients expect, the
# programs' paths for `kelpwatch install`, an anonymous account that may
# only list and download below $FTP_ROOT/pub, and one account that may also
# upload, create, rename and delete below $FTP_ROOT. The directories it
# creates belong to the service's user ($RUN_AS, made by the package).
#
# Run it as root (the store is /var/lib/brindlex/store.db). Every setting
# below can be given in the environment; the password of the account is read
# from standard input (one line). A running server takes the changes at once.
#
#   echo 's3cret' | FTP_USER=alice sh setup-server.sh
set -eu

FTP_ROOT=${FTP_ROOT:-/srv/ftp}                 # the accounts' directories
WORK_DIR=${WORK_DIR:-/etc/brindlex}            # welcome.txt and the other message files
LOG_DIR=${LOG_DIR:-/var/log/brindlex}          # log files (mode 0640)
PORT=${PORT:-21}
PASSIVE_PORTS=${PASSIVE_PORTS:-50000-50099}    # open these in the firewall too
PASSIVE_ADDRESS=${PASSIVE_ADDRESS:-}           # the public address when behind NAT
EXTENSIONS=${EXTENSIONS:-1}                    # 1 = the protocol extensions modern clients expect
LOGIN_TIMEOUT=${LOGIN_TIMEOUT:-60}             # seconds to complete a login
IDLE_TIMEOUT=${IDLE_TIMEOUT:-900}              # seconds logged in without a command
DATA_TIMEOUT=${DATA_TIMEOUT:-300}              # seconds a transfer may go without progress
BIN_DIR=${BIN_DIR:-/usr/bin}                   # where the package put dockhand and kelpwatch
RUN_AS=${RUN_AS:-brindlex}                     # the user the server runs as
FTP_USER=${FTP_USER:-ftpuser}
REG=${REG:-brindlex-reg}

mkdir -p "$FTP_ROOT/pub" "$FTP_ROOT/incoming" "$WORK_DIR" "$LOG_DIR"
chmod 0750 "$LOG_DIR"
# The server writes uploads and logs as its own user, never as root.
if id "$RUN_AS" >/dev/null 2>&1; then
    chown "$RUN_AS:" "$FTP_ROOT" "$FTP_ROOT/pub" "$FTP_ROOT/incoming" "$LOG_DIR"
else
    echo "setup-server.sh: no user $RUN_AS (the package creates brindlex): $FTP_ROOT and $LOG_DIR stay root's" >&2
fi
[ -f "$WORK_DIR/welcome.txt" ] || printf 'Welcome to this Brindlex FTP server.\r\n' > "$WORK_DIR/welcome.txt"

"$REG" set System Port --dword "$PORT"
"$REG" set System Enable --dword 1
"$REG" set System MaxConn --dword 50
"$REG" set System PassivePorts --string "$PASSIVE_PORTS"
"$REG" set System PassiveAddress --string "$PASSIVE_ADDRESS"
"$REG" set System Extensions --dword "$EXTENSIONS"
"$REG" set System LoginTimeout --dword "$LOGIN_TIMEOUT"
"$REG" set System IdleTimeout --dword "$IDLE_TIMEOUT"
"$REG" set System DataTimeout --dword "$DATA_TIMEOUT"
"$REG" set Path Work --string "$WORK_DIR"
"$REG" set Path App --string "$BIN_DIR/dockhand"
"$REG" set Path Service --string "$BIN_DIR/kelpwatch"
"$REG" set Log Path --string "$LOG_DIR"
"$REG" set Log Logging --dword 1
# Activity records only: the trace levels write every byte of every session.
for t in TRACE0 TRACE1 TRACE2 TRACE3 TRACE4 TRACE5; do "$REG" set Log "$t" --dword 0; done

# Anonymous: any password, read-only, below pub/.
"$REG" set 'Users\anonymous' Root --string "$FTP_ROOT/pub"
"$REG" set 'Users\anonymous' Home --string "$FTP_ROOT/pub"
"$REG" set 'Users\anonymous' Anonymous --dword 1
"$REG" set 'Users\anonymous' Enable --dword 1
for perm in List Get; do "$REG" set 'Users\anonymous' "$perm" --dword 1; done
for perm in Put Create DeleteDir DeleteFile Recurse; do "$REG" set 'Users\anonymous' "$perm" --dword 0; done

# The account: starts in incoming/, may change everything below $FTP_ROOT.
"$REG" set "Users\\$FTP_USER" Root --string "$FTP_ROOT"
"$REG" set "Users\\$FTP_USER" Home --string "$FTP_ROOT/incoming"
"$REG" set "Users\\$FTP_USER" Enable --dword 1
for perm in List Get Put Create DeleteDir DeleteFile; do "$REG" set "Users\\$FTP_USER" "$perm" --dword 1; done
"$REG" passwd "$FTP_USER"

echo "Brindlex is set up: port $PORT, passive ports $PASSIVE_PORTS, accounts anonymous and $FTP_USER."
