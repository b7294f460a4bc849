#!/usr/bin/env bash
# The package's prerm with a real RAM disk of a real second user mounted: on removal it
# names the user and the mount point on the terminal and in the system log, tells how to
# keep the files, and exits 0 at once; on an upgrade it says nothing.
#   prerm_test.sh BUILD_DIR SOURCE_DIR
# Exit status 77: skipped (needs root, loop devices, useradd and mount namespaces).
set -uo pipefail

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }

# ---- Inside a private mount namespace: a system log of our own on /dev/log ----------------
if [ "${1:-}" = --with-log ]; then
  prerm=$2 T=$3
  # A /dev of our own holding only what the script uses, and the log socket.
  mkdir -p "$T/dev" && touch "$T/dev/null" && mount --bind /dev/null "$T/dev/null" || exit 3
  mount --rbind "$T/dev" /dev || exit 3
  python3 - "$T/syslog" <<'EOF' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("/dev/log")
with open(sys.argv[1] + ".ready", "w"):
    pass
with open(sys.argv[1], "ab", buffering=0) as out:
    while True:
        out.write(s.recv(65536) + b"\n")
EOF
  listener=$!
  for _ in $(seq 100); do [ -e "$T/syslog.ready" ] && break; sleep 0.05; done
  timeout 30 sh "$prerm" remove </dev/null >"$T/remove.out" 2>&1
  echo $? >"$T/remove.status"
  kill "$listener" 2>/dev/null
  wait "$listener" 2>/dev/null
  exit 0
fi

build=$(realpath "${1:?build directory}") source=$(realpath "${2:?source directory}")
prerm=$source/packaging/prerm
tools=$build/libexec/quilmo
[ "$(id -u)" -eq 0 ] || skip "needs root (a second user, loop devices, mounts)"
[ -e /dev/loop-control ] || skip "no /dev/loop-control"
command -v useradd >/dev/null && command -v userdel >/dev/null || skip "useradd is missing"
[ -x "$tools/hdiutil" ] || skip "the disk tool is not built"
# RAM-disk mounts are refused in system directories such as /tmp: work in /home.
[ -w /home ] || skip "/home is not writable"

# RAM-disk tests of every checkout on this machine run one at a time.
exec 9<>/tmp/quilmo-ramdisk-tests.lock
flock 9

T=$(mktemp -d /home/quilmo-prerm-test-XXXXXX) || fail "no temporary directory"
chmod 0755 "$T"
user=qmprerm$$$RANDOM
user=${user:0:30}
device=
place="$T/Scratch Disk"

cleanup() {
  if [ -n "$device" ]; then
    mountpoint -q "$place" && PKEXEC_UID=$uid "$tools/umount" -f "$place" >/dev/null 2>&1
    PKEXEC_UID=$uid "$tools/hdiutil" detach "$device" >/dev/null 2>&1
  fi
  id "$user" >/dev/null 2>&1 && userdel "$user" >/dev/null 2>&1
  rm -rf --one-file-system "$T"
}
trap cleanup EXIT

useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user" || fail "useradd $user failed"
uid=$(id -u "$user")
mkdir "$place" && chown "$user" "$place" || fail "cannot make $place"

# The user's RAM disk, made by the disk tool as pkexec would run it for that user.
as_user() { PKEXEC_UID=$uid "$@"; }
attach=$(as_user "$tools/hdiutil" attach -nomount -plist ram://262144) || fail "attach failed"
device=$(printf '%s' "$attach" | tr -d '\n\t ' | sed -n 's|.*<key>dev-entry</key><string>\([^<]*\)</string>.*|\1|p')
[ -n "$device" ] || fail "no device in: $attach"
as_user "$tools/newfs_hfs" -v Scratch "$device" >/dev/null || fail "newfs_hfs $device failed"
as_user "$tools/mount" -o noatime -t hfs "$device" "$place" || fail "mount $device at $place failed"
mountpoint -q "$place" || fail "$place is not mounted"

# ---- Removal: the user, the place and what to do, at once and with status 0 ----------------
if command -v python3 >/dev/null && unshare --mount --propagation private true 2>/dev/null; then
  unshare --mount --propagation private "$BASH" "$0" --with-log "$prerm" "$T" || fail "the private system log could not be set up"
  status=$(cat "$T/remove.status")
  log=$(cat "$T/syslog" 2>/dev/null)
  grep -q "$user" <<<"$log" || fail "the system log does not name $user: $log"
  grep -qF "$place" <<<"$log" || fail "the system log does not name $place: $log"
else
  echo "note: the system log is not checked here (no python3 or no mount namespaces)"
  timeout 30 sh "$prerm" remove </dev/null >"$T/remove.out" 2>&1
  status=$?
fi
out=$(cat "$T/remove.out")
[ "$status" -eq 0 ] || fail "prerm remove exited $status: $out"
grep -q "^  $user: $place\$" <<<"$out" || fail "prerm remove does not name $user and $place:
$out"
grep -qF "quilmoctl eject --all" <<<"$out" || fail "prerm remove does not say how to save and eject: $out"
mountpoint -q "$place" || fail "prerm touched the RAM disk"

# ---- An upgrade (and anything but a removal) hears nothing ---------------------------------
for args in "upgrade 0.1.1" "failed-upgrade 0.1.0" "deconfigure in-favour other 1.0"; do
  # shellcheck disable=SC2086
  said=$(timeout 30 sh "$prerm" $args </dev/null 2>&1) || fail "prerm $args failed: $said"
  [ -z "$said" ] || fail "prerm $args says: $said"
done
echo "PASS"
