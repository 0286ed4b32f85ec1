#!/bin/sh
# Sets up a typical Brindlex FTP server with brindlex-reg: port 21, a passive
# port range for the firewall, daily log files, an anonymous account that
# may only list and download below $FTP_ROOT/pub, and one account that may
# also upload, create, rename and delete below $FTP_ROOT.
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
FTP_USER=${FTP_USER:-ftpuser}
REG=${REG:-brindlex-reg}

mkdir -p "$FTP_ROOT/pub" "$FTP_ROOT/incoming" "$WORK_DIR" "$LOG_DIR"
chmod 0750 "$LOG_DIR"
[ -f "$WORK_DIR/welcome.txt" ] || printf 'Welcome to this Brindlex FTP server.\r\n' > "$WORK_DIR/welcome.txt"

"$REG" set System Port --dword "$PORT"
"$REG" set System Enable --dword 1
"$REG" set System MaxConn --dword 50
"$REG" set System PassivePorts --string "$PASSIVE_PORTS"
"$REG" set System PassiveAddress --string "$PASSIVE_ADDRESS"
"$REG" set System Extensions --dword "$EXTENSIONS"
"$REG" set Path Work --string "$WORK_DIR"
"$REG" set Log Path --string "$LOG_DIR"
"$REG" set Log Logging --dword 1

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
