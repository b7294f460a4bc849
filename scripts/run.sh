#!/usr/bin/env bash
# Starts the most complete front end that the build holds.
set -euo pipefail
build=${1:-build}
if [ -x "$build/bin/Quilmo" ]; then
  exec "$build/bin/Quilmo"
elif [ -x "$build/bin/quilmoctl" ]; then
  "$build/bin/quilmoctl" list
  exec "$build/bin/quilmoctl" memory
elif [ -x "$build/libexec/quilmo/hdiutil" ]; then
  echo "Quilmo's windows and quilmoctl are not built yet; showing the RAM devices Quilmo knows:"
  exec "$build/libexec/quilmo/hdiutil" info -plist
else
  echo "Quilmo's front ends are not built yet; the foundation library and its tests are."
  echo "Run 'make test' to exercise it."
fi
