#!/usr/bin/env bash
# Renders Quilmo's windows, sheets and menus offscreen into docs/screenshots/. Every module
# with pictures builds a program build/screenshots/shot_<module> that takes the output
# directory as its argument; each runs with its own temporary HOME and XDG_* directories,
# so no real settings or RAM disks are touched.
set -euo pipefail
build=${1:-build}
out=${2:-docs/screenshots}
mkdir -p "$out"
shots=("$build"/screenshots/shot_*)
if [ ! -e "${shots[0]}" ]; then
  echo "No screenshot programs are built yet."
  exit 0
fi
for shot in "${shots[@]}"; do
  [ -x "$shot" ] || continue
  home=$(mktemp -d)
  trap 'rm -rf --one-file-system "$home"' EXIT
  mkdir -p "$home"/{.config,.local/share,.cache,.local/state,runtime}
  chmod 700 "$home/runtime"
  echo "== $(basename "$shot")"
  env HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
      XDG_CACHE_HOME="$home/.cache" XDG_STATE_HOME="$home/.local/state" XDG_RUNTIME_DIR="$home/runtime" \
      QT_QPA_PLATFORM=offscreen dbus-run-session -- "$shot" "$(realpath "$out")"
  rm -rf --one-file-system "$home"
  trap - EXIT
done
ls -1 "$out"
