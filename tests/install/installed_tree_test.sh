#!/usr/bin/env bash
# The installed tree on its own: installs the build with DESTDIR into a temporary prefix,
# hides the build tree and the source tree (a private mount namespace with empty file
# systems over both), and drives a real RAM disk through the installed quilmoctl: add,
# create, write, eject, move the whole installed tree elsewhere, create again, files back,
# remove. Only the installed tree can serve it, wherever it lies.
#
#   installed_tree_test.sh BUILD_DIR SOURCE_DIR
# Exit status 77: skipped (needs root, loop devices and mount namespaces).
set -uo pipefail

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }

# ---- Inside the private mount namespace ----------------------------------------------------
if [ "${1:-}" = --hidden ]; then
  build=$2 source=$3 T=$4 P=$5
  mount -t tmpfs -o size=1m,mode=0755 quilmo-hidden-build "$build" || fail "cannot hide $build"
  mount -t tmpfs -o size=1m,mode=0755 quilmo-hidden-source "$source" || fail "cannot hide $source"
  [ -e "$build/bin/quilmoctl" ] && fail "the build tree is still visible"
  [ -e "$source/CMakeLists.txt" ] && fail "the source tree is still visible"
  cd "$T" || exit 1

  export HOME=$T/home XDG_CONFIG_HOME=$T/home/.config XDG_DATA_HOME=$T/home/.local/share
  export XDG_STATE_HOME=$T/home/.local/state XDG_CACHE_HOME=$T/home/.cache XDG_RUNTIME_DIR=$T/runtime
  # Reached through a link, as from /usr/local/bin: the program must find its own tree.
  export PATH=$T/links:/usr/sbin:/usr/bin:/sbin:/bin
  name=Relocated
  mnt=$T/mnt
  volume=$mnt/$name

  # Whatever happens, nothing of ours stays mounted or attached.
  cleanup() {
    if mountpoint -q "$volume"; then
      quilmoctl eject "$name" >/dev/null 2>&1
      if mountpoint -q "$volume"; then
        findmnt -n -o SOURCE --mountpoint "$volume" >"$T/device"
        umount "$volume"
      fi
    fi
  }
  trap cleanup EXIT

  # What tells this very device from a later one of the same name (names are reused at
  # once): a memory instance's file system (its own mount in the disk tool's private place),
  # or the memory file behind a loop device.
  backing() {
    case $1 in
      quilmo-ram*) findmnt -n -o MAJ:MIN --mountpoint "/run/quilmo/ram/$1" 2>/dev/null ;;
      *) cat "/sys/block/$(basename "$1")/loop/backing_file" 2>/dev/null ;;
    esac
  }
  released() { # released DEVICE BACKING
    [ "$(backing "$1")" != "$2" ] || fail "eject reported success but $1 ($2) is still attached"
  }

  run() { # run EXPECTED_STATUS quilmoctl ARGS...
    local want=$1
    shift
    "$@" >"$T/out" 2>"$T/err"
    local got=$?
    [ "$got" -eq "$want" ] || { cat "$T/out" "$T/err" >&2; fail "'$*' exited $got, not $want"; }
  }

  run 0 quilmoctl add "$name" --size 200M --mount-dir "$mnt" --backup default
  run 0 quilmoctl create "$name"
  mountpoint -q "$volume" || fail "create did not mount $volume"
  findmnt -n -o SOURCE --mountpoint "$volume" >"$T/device"
  device=$(cat "$T/device") file=$(backing "$device")
  [ -n "$file" ] || fail "nothing is attached behind $device"
  run 0 quilmoctl status "$name"
  grep -q 'QMRamDisk' "$T/out" && fail "texts are untranslated (the translations were not found): $(cat "$T/out")"
  mkdir -p "$volume/sub" && echo remember >"$volume/notes.txt" && head -c 100000 /dev/urandom >"$volume/sub/data.bin" ||
    fail "cannot write on the RAM disk"
  cp "$volume/sub/data.bin" "$T/data.bin"
  run 0 quilmoctl eject "$name"
  mountpoint -q "$volume" && fail "eject left $volume mounted"
  released "$device" "$file"
  : >"$T/device" # released: its number may soon be someone else's

  # The whole installed tree moves; the link follows it.
  mv "$P" "$T/moved" || fail "cannot move the installed tree"
  ln -sfn "$T/moved/bin/quilmoctl" "$T/links/quilmoctl"
  run 0 quilmoctl create "$name"
  findmnt -n -o SOURCE --mountpoint "$volume" >"$T/device"
  device=$(cat "$T/device") file=$(backing "$device")
  [ "$(cat "$volume/notes.txt" 2>/dev/null)" = remember ] || fail "notes.txt did not come back"
  cmp -s "$volume/sub/data.bin" "$T/data.bin" || fail "sub/data.bin did not come back whole"
  run 1 quilmoctl remove "$name" # still mounted
  run 0 quilmoctl eject "$name"
  released "$device" "$file"
  : >"$T/device"
  run 0 quilmoctl remove "$name"
  run 0 quilmoctl list --json
  [ "$(tr -d ' \n' <"$T/out")" = "[]" ] || fail "the RAM disk is still listed: $(cat "$T/out")"
  if grep -rq 'load==NO' "$XDG_STATE_HOME/quilmo" "$T/err" 2>/dev/null; then
    fail "a program could not load its translations"
  fi
  echo "the installed tree served add, create, write, eject, move, create, remove"
  exit 0
fi

# ---- Outside: install, then run the rest hidden ----------------------------------------------
build=$(realpath "${1:?build directory}") source=$(realpath "${2:?source directory}")
[ "$(id -u)" -eq 0 ] || skip "needs root (loop devices, mounts)"
[ -e /dev/loop-control ] || skip "no /dev/loop-control"
# RAM-disk mounts are refused in system directories such as /tmp: work in /home.
[ -w /home ] || skip "/home is not writable"

# RAM-disk tests of every checkout on this machine run one at a time. A mount namespace
# takes a copy of every mount there is, which keeps another test's RAM disk from being
# ejected: none is made before the lock is held, not even to see whether one can be.
exec 9<>/tmp/quilmo-ramdisk-tests.lock
flock 9
unshare --mount --propagation slave true 2>/dev/null || skip "no mount namespaces here"

T=$(mktemp -d /home/quilmo-install-test-XXXXXX) || fail "no temporary directory"
chmod 0755 "$T"
# A prefix that exists nowhere: a program that used its configured prefix would fail.
prefix=/opt/quilmo-install-test-$$-$RANDOM
stage=$T/stage
P=$stage$prefix

detach_leftover() {
  local device
  device=$(cat "$T/device" 2>/dev/null)
  if [ -n "$device" ]; then
    local tool
    for tool in "$T/moved/libexec/quilmo/hdiutil" "$P/libexec/quilmo/hdiutil"; do
      [ -x "$tool" ] && "$tool" detach "$device" >/dev/null 2>&1 && break
    done
  fi
  rm -rf --one-file-system "$T"
}
trap detach_leftover EXIT

DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >"$T/install.log" 2>&1 ||
  { cat "$T/install.log" >&2; fail "cmake --install failed"; }

# The layout every program relies on.
for f in bin/quilmoctl libexec/quilmo/quilmo-disktool share/quilmo/translations/quilmo_en.qm \
         share/applications/org.quilmo.Quilmo.desktop share/metainfo/org.quilmo.Quilmo.metainfo.xml \
         share/man/man1/quilmoctl.1.gz share/bash-completion/completions/quilmoctl \
         share/icons/hicolor/scalable/apps/org.quilmo.Quilmo.svg share/quilmo/images/QuilmoStatusItemColor.svg; do
  [ -e "$P/$f" ] || fail "the install lacks $f"
done
for link in hdiutil newfs_hfs diskutil mount umount mdutil purge; do
  [ "$(readlink "$P/libexec/quilmo/$link")" = quilmo-disktool ] || fail "libexec/quilmo/$link is not a link to the tool"
done
# The policy names the tool where it will be installed, never the stage or the build tree.
policy=$P/share/polkit-1/actions/org.quilmo.disktool.policy
[ -f "$policy" ] || fail "no polkit policy was installed"
paths=$(grep -o 'org.freedesktop.policykit.exec.path">[^<]*' "$policy" | sed 's/.*">//' | sort -u)
[ "$paths" = "$prefix/libexec/quilmo/quilmo-disktool" ] || fail "the policy names '$paths'"
[ -e "$build/share/polkit-1" ] && fail "the build tree holds a polkit policy naming itself"
# Every installed file is in the manifest, so that uninstalling removes it all.
while IFS= read -r f || [ -n "$f" ]; do
  grep -qxF "${f#"$stage"}" "$build/install_manifest.txt" || fail "$f is installed but not in the install manifest"
done < <(find "$stage" -type f -o -type l)

# Uninstalling removes every file an install wrote, and Quilmo's own directories.
stage2=$T/stage2
DESTDIR=$stage2 cmake --install "$build" --prefix "$prefix" >"$T/install2.log" 2>&1 ||
  { cat "$T/install2.log" >&2; fail "the second cmake --install failed"; }
cp "$build/install_manifest.txt" "$T/installed-files.txt"
DESTDIR=$stage2 bash "$source/scripts/uninstall.sh" "$T/installed-files.txt" >"$T/uninstall.log" 2>&1 ||
  { cat "$T/uninstall.log" >&2; fail "uninstall.sh failed"; }
left=$(find "$stage2" \( -type f -o -type l \) -print)
[ -z "$left" ] || fail "uninstalling left files behind: $left"
for d in libexec/quilmo share/quilmo share/doc/quilmo; do
  [ -e "$stage2$prefix/$d" ] && fail "uninstalling left $d behind"
done
[ -e "$T/installed-files.txt" ] && fail "uninstalling kept its list of files"

mkdir -p "$T/home" "$T/runtime" "$T/mnt" "$T/links"
chmod 0700 "$T/runtime"
ln -s "$P/bin/quilmoctl" "$T/links/quilmoctl"
# A ThreadSanitizer build reads its suppressions from the source tree, which is hidden
# below: its programs read a copy.
supp=$(sed -n 's/.*suppressions=\([^: ]*\).*/\1/p' <<<"${TSAN_OPTIONS:-}")
if [ -n "$supp" ]; then
  cp "$supp" "$T/tsan.supp" || fail "cannot copy $supp"
  export TSAN_OPTIONS=${TSAN_OPTIONS/suppressions=$supp/suppressions=$T/tsan.supp}
fi
unshare --mount --propagation slave "$BASH" "$0" --hidden "$build" "$source" "$T" "$P"
status=$?
[ $status -eq 0 ] || exit $status
echo "PASS"
