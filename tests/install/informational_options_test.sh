#!/usr/bin/env bash
# --help and --version of every program print and end with status 0, without a display
# (no DISPLAY, no WAYLAND_DISPLAY, no offscreen platform: a window would fail to open) and
# without writing anything to the home folder (no first-run dialog, no log, no settings).
# The one-second budget only guards against a program that waits for someone.
#   informational_options_test.sh BUILD_DIR
set -uo pipefail
build=$(realpath "${1:?build directory}")
fail=0
problem() { echo "FAIL: $*" >&2; fail=1; }

T=$(mktemp -d) || exit 1
trap 'rm -rf --one-file-system "$T"' EXIT
mkdir -p "$T/home"

run() { # run PROGRAM ARGS...: status, output in $T/out
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u DBUS_SESSION_BUS_ADDRESS \
    HOME="$T/home" XDG_CONFIG_HOME="$T/home/.config" XDG_DATA_HOME="$T/home/.local/share" \
    XDG_STATE_HOME="$T/home/.local/state" XDG_CACHE_HOME="$T/home/.cache" XDG_RUNTIME_DIR="$T/home" \
    timeout -k 1 1 "$@" </dev/null >"$T/out" 2>"$T/err"
}

checked=0
for program in bin/Quilmo libexec/quilmo/Quilmo-Helper bin/quilmoctl; do
  exe=$build/$program
  [ -x "$exe" ] || continue
  name=$(basename "$exe")
  for option in --version -v; do
    run "$exe" $option
    status=$?
    [ $status -eq 0 ] || problem "$name $option exited $status: $(cat "$T/err")"
    grep -qE "^$name [0-9]+\.[0-9]+\.[0-9]+ \(build [0-9]+\)\$" "$T/out" ||
      problem "$name $option printed: $(cat "$T/out")"
  done
  run "$exe" --help
  status=$?
  [ $status -eq 0 ] || problem "$name --help exited $status: $(cat "$T/err")"
  grep -q -- '--version' "$T/out" || problem "$name --help does not name --version: $(cat "$T/out")"
  grep -q 'Usage' "$T/out" || problem "$name --help has no usage line: $(cat "$T/out")"
  checked=$((checked + 1))
done
# The toolkit's own options around ours are no error, and are not read as ours.
if [ -x "$build/bin/Quilmo" ]; then
  run "$build/bin/Quilmo" -platform offscreen -reverse --version
  [ $? -eq 0 ] && grep -q '^Quilmo ' "$T/out" || problem "Quilmo -platform offscreen -reverse --version: $(cat "$T/out" "$T/err")"
fi
[ $checked -gt 0 ] || { echo "SKIP: no program is built"; exit 77; }
left=$(find "$T/home" -mindepth 1 -print)
[ -z "$left" ] || problem "asking for help or the version wrote: $left"
[ $fail -eq 0 ] && echo "PASS ($checked programs)"
exit $fail
