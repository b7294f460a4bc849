#!/usr/bin/env bash
# Removes what `make install` wrote, as listed in the file given (one path a line, without
# DESTDIR, as CMake lists them), then Quilmo's own directories that are left empty (never a
# directory shared with others), and finally the list.
#   [DESTDIR=...] uninstall.sh BUILD/quilmo-installed-files.txt
set -euo pipefail
manifest=${1:?list of installed files}
if [ ! -f "$manifest" ]; then
  echo "Nothing to uninstall: $manifest is missing (nothing was installed with make install)" >&2
  exit 1
fi
dirs=()
destdir=${DESTDIR:-}
while IFS= read -r f || [ -n "$f" ]; do # the last line has no newline
  [ -n "$f" ] || continue
  f=$destdir$f
  if [ -e "$f" ] || [ -L "$f" ]; then
    echo "Removing: $f"
    rm -f -- "$f"
  fi
  d=$(dirname -- "$f")
  while :; do
    case $d in
      */libexec/quilmo | */share/quilmo | */share/quilmo/* | */share/doc/quilmo) dirs+=("$d") ;;
      *) break ;;
    esac
    d=$(dirname -- "$d")
  done
done <"$manifest"
# Deepest first, so that a parent is empty once its children are gone.
if [ ${#dirs[@]} -gt 0 ]; then
  printf '%s\n' "${dirs[@]}" | sort -u -r | while IFS= read -r d; do
    rmdir -- "$d" 2>/dev/null && echo "Removing: $d/" || true
  done
fi
rm -f -- "$manifest"
