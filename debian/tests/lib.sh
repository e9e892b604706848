# Shared by the installed-system checks in debian/tests (sourced by each; not a test itself).
# Every check leaves /etc/vexa and the services as it found them (restore_site at exit).
set -euo pipefail

PORT1=${BORL1D_TEST_PORT1:-/dev/ttyS1}
PORT2=${BORL1D_TEST_PORT2:-/dev/ttyS2}
TMP=${AUTOPKGTEST_TMP:-$(mktemp -d)}
SINCE=$(date +%s)

ok() { echo "ok: $*"; }
fail() {
  echo "FAILED: $*" >&2
  for unit in borl1d borl1d@second borl1d@third; do
    journalctl -q --no-pager -u "$unit" --since "@$SINCE" 2>/dev/null | tail -n 25 | sed "s/^/  $unit| /" >&2 || true
  done
  for f in "$TMP"/*.out "$TMP"/*.err; do
    if [ -s "$f" ]; then tail -n 5 "$f" | sed "s#^#  ${f##*/}| #" >&2; fi
  done
  exit 1
}
# The device's inputs, the samples of one reply: borl-decode lists the daemon's point table.
INPUTS=$(borl-decode --points | grep -c '^input ') || fail "borl-decode --points lists no input"

# wait_until SECONDS COMMAND...: true once COMMAND succeeds (checked every 0.2 s), false after.
# A condition on a value read anew each time goes in as one string for eval:
#   wait_until 30 eval '[ "$(samples vexad)" -ge $INPUTS ]'   (single quotes: expanded at each try)
wait_until() {
  local end=$(($(date +%s) + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ "$(date +%s)" -lt "$end" ] || return 1
    sleep 0.2
  done
}

# The unit's journal since the check started (or since $2, seconds since the epoch).
journal() { journalctl -q --no-pager -o cat -u "$1" --since "@${2:-$SINCE}"; }
prop() { systemctl show -P "$2" "$1"; }
main_pid() { prop "$1" MainPID; }

# A /dev/ttySN port's position in a serial-port assignment file.
port_position() {
  local n=${1#/dev/ttyS}
  case "$n" in [1-4]) echo "$n" ;; *) fail "$1 is not one of /dev/ttyS1 to /dev/ttyS4" ;; esac
}
# write_assignment FILE PORT: Borl100 owns PORT, at 9600 baud 8N1.
write_assignment() {
  local pos i
  pos=$(port_position "$2")
  mkdir -p "$(dirname "$1")"
  {
    echo '<config><serialconfig>'
    for i in $(seq 1 "$pos"); do
      if [ "$i" -eq "$pos" ]; then
        echo '<port><owner>Borl100</owner><baud>9600</baud><databits>8</databits><stopbits>1</stopbits><mode>RS232</mode></port>'
      else
        echo '<port><owner>none</owner></port>'
      fi
    done
    echo '</serialconfig></config>'
  } >"$1"
}

# The site's files and the services' state are put back when the check ends.
# A check resumed after a reboot (AUTOPKGTEST_REBOOT_MARK) keeps the copy taken before it.
save_site() {
  [ -n "${AUTOPKGTEST_REBOOT_MARK:-}" ] && [ -d "$TMP/vexa.saved" ] ||
    cp -a /etc/vexa "$TMP/vexa.saved"
  trap restore_site EXIT
}
restore_site() {
  local rc=$?
  systemctl stop borl1d.service 'borl1d@*.service' >/dev/null 2>&1 || true
  systemctl reset-failed borl1d.service 'borl1d@*.service' >/dev/null 2>&1 || true
  stop_consoles
  rm -rf /etc/vexa && cp -a "$TMP/vexa.saved" /etc/vexa
  exit $rc
}

# start_console NAME TCP-PORT FD [OPTION...]: vexa-console --json OPTION... as vexad on 127.0.0.1:TCP-PORT, its
# received lines in $TMP/NAME.out, its standard input on file descriptor FD of this shell.
start_console() {
  mkfifo "$TMP/$1.in"
  vexa-console --port "$2" --json "${@:4}" <"$TMP/$1.in" >"$TMP/$1.out" 2>"$TMP/$1.err" &
  echo $! >"$TMP/$1.pid"
  eval "exec $3<>\"\$TMP/$1.in\""
  wait_until 10 grep -q 'listening' "$TMP/$1.err" || fail "vexa-console $1 did not listen"
}
stop_consoles() {
  local p
  for p in "$TMP"/*.pid; do
    [ -e "$p" ] && kill "$(cat "$p")" 2>/dev/null || true
    rm -f "$p"
  done
}

# Messages of a console: events (msgType 3) and replies (msgType 1) by object type.
count_msgs() { grep -Ec "\"msgType\": *$2,.*\"objType\": *$3[,}]" "$TMP/$1.out" || true; }
# Sample events (input ports seen, each once) in the lines of console NAME from line $2 on.
sample_ports() {
  tail -n +"${2:-1}" "$TMP/$1.out" | grep -E '"msgType": *3,.*"objType": *9[,}]' |
    sed -E 's/.*"portNum": *([0-9]+).*/\1/' | sort -un | wc -l
}
samples() { grep -Ec '"msgType": *3,.*"objType": *9[,}]' "$TMP/$1.out" || true; }
status_has() { prop "$1" StatusText | grep -q "$2"; }
