#!/usr/bin/env bash
# Starts Quilmo's window where there is a display, else shows the RAM disks with quilmoctl.
set -euo pipefail
build=${1:-build}
if [ -x "$build/bin/Quilmo" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  exec "$build/bin/Quilmo"
elif [ -x "$build/bin/quilmoctl" ]; then
  if [ -x "$build/bin/Quilmo" ]; then
    echo "No display (neither DISPLAY nor WAYLAND_DISPLAY is set): showing the RAM disks with quilmoctl instead of Quilmo's window."
  fi
  exec "$build/bin/quilmoctl" list
elif [ -x "$build/libexec/quilmo/hdiutil" ]; then
  echo "Quilmo's windows and quilmoctl are not built yet; showing the RAM devices Quilmo knows:"
  exec "$build/libexec/quilmo/hdiutil" info -plist
else
  echo "Quilmo's front ends are not built yet; the foundation library and its tests are."
  echo "Run 'make test' to exercise it."
fi
