#!/usr/bin/env bash
# Checks the Debian package built by `make package`:
#  - its file list holds every program and every file the desktop needs, and nothing that
#    starts the helper for every user;
#  - its control data names the dependencies, section, priority, homepage, description;
#  - the desktop entry, the AppStream metainfo, the polkit policy and the manual pages in it
#    pass their validators, and lintian reports no error;
#  - as root, with dpkg, it installs, runs, and purges, leaving the system as it was.
set -euo pipefail
build=${1:-build}
cd "$(dirname "$0")/.."

fail=0
problem() { echo "FAIL: $*" >&2; fail=1; }

version=$(sed -n 's/^project(Quilmo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
deb=$build/package/quilmo_${version}_${arch}.deb
[ -f "$deb" ] || { echo "FAIL: $deb was not built (make package)" >&2; exit 1; }
echo "== $deb"

work=$(mktemp -d)
trap 'rm -rf --one-file-system "$work"' EXIT

# -- The file list -------------------------------------------------------------------------
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$work/files"
expect=(
  /usr/bin/quilmoctl
  /usr/libexec/quilmo/quilmo-disktool
  /usr/libexec/quilmo/hdiutil /usr/libexec/quilmo/newfs_hfs /usr/libexec/quilmo/diskutil
  /usr/libexec/quilmo/mount /usr/libexec/quilmo/umount /usr/libexec/quilmo/mdutil
  /usr/libexec/quilmo/purge
  /usr/share/quilmo/translations/quilmo_en.qm
  /usr/share/quilmo/images/org.quilmo.Quilmo.svg
  /usr/share/applications/org.quilmo.Quilmo.desktop
  /usr/share/metainfo/org.quilmo.Quilmo.metainfo.xml
  /usr/share/icons/hicolor/scalable/apps/org.quilmo.Quilmo.svg
  /usr/share/polkit-1/actions/org.quilmo.disktool.policy
  /usr/share/man/man1/quilmoctl.1.gz
  /usr/share/bash-completion/completions/quilmoctl
  /usr/share/doc/quilmo/copyright
  /usr/share/doc/quilmo/changelog.gz
)
for size in 16 22 24 32 48 64 128 256 512; do
  expect+=("/usr/share/icons/hicolor/${size}x${size}/apps/org.quilmo.Quilmo.png")
done
for look in Color Black White Pressed; do
  for form in .svg .png @2x.png; do
    expect+=("/usr/share/quilmo/images/QuilmoStatusItem$look$form")
  done
done
# The window and the tray program, once they are built.
[ -x "$build/bin/Quilmo" ] && expect+=(/usr/bin/Quilmo /usr/share/man/man1/Quilmo.1.gz)
[ -x "$build/libexec/quilmo/Quilmo-Helper" ] && expect+=(/usr/libexec/quilmo/Quilmo-Helper)
[ -x "$build/libexec/quilmo/quilmo-update-swap" ] && expect+=(/usr/libexec/quilmo/quilmo-update-swap)
for f in "${expect[@]}"; do
  grep -qxF "$f" "$work/files" || problem "the package lacks $f"
done
# The helper's autostart entry is the user's choice, written per user by Quilmo.
if grep -q '^/etc/xdg/autostart/' "$work/files"; then
  problem "the package starts something at every user's login: $(grep '^/etc/xdg/autostart/' "$work/files")"
fi
echo "file list: ${#expect[@]} expected files present"

# -- The control data ----------------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
depends=$(field Depends)
for d in libc6 libqt6core6 libplist3 libssl3 e2fsprogs util-linux pkexec; do
  [[ ", $depends," == *", $d"[\ ,\(]* ]] || problem "Depends lacks $d: $depends"
done
[ "$(field Section)" = utils ] || problem "Section is '$(field Section)'"
[ "$(field Priority)" = optional ] || problem "Priority is '$(field Priority)'"
[ "$(field Homepage)" = https://quilmo.org/ ] || problem "Homepage is '$(field Homepage)'"
[ "$(field Package)" = quilmo ] || problem "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || problem "Version is '$(field Version)'"
[ "$(field Description | wc -l)" -gt 3 ] || problem "the Description has no long text"
echo "control: Depends: $depends"

# -- Validators on the unpacked files -------------------------------------------------------
root=$work/root
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/org.quilmo.Quilmo.desktop" ||
  problem "desktop-file-validate"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.quilmo.Quilmo.metainfo.xml" ||
  problem "appstreamcli validate"
policy=$root/usr/share/polkit-1/actions/org.quilmo.disktool.policy
xmllint --noout "$policy" || problem "the polkit policy is not well-formed"
paths=$(grep -o 'org.freedesktop.policykit.exec.path">[^<]*' "$policy" | sed 's/.*">//' | sort -u)
[ "$paths" = /usr/libexec/quilmo/quilmo-disktool ] ||
  problem "the polkit policy names '$paths' instead of the installed tool only"
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || problem "$(basename "$page"): $warnings"
done
bash -n "$root/usr/share/bash-completion/completions/quilmoctl" || problem "the bash completion does not parse"

# -- lintian ------------------------------------------------------------------------------
if lintian --fail-on error --info "$deb" >"$work/lintian" 2>&1; then
  echo "lintian: no error ($(grep -c '^W:' "$work/lintian" || true) warnings, $(grep -c '^I:' "$work/lintian" || true) notes)"
  grep '^[WI]:' "$work/lintian" | sed -n '/^[WI]: /p' | sort -u | sed 's/^/  /' || true
else
  cat "$work/lintian" >&2
  problem "lintian reports errors"
fi

# -- Install and purge on this system ------------------------------------------------------
if [ "$(id -u)" -ne 0 ]; then
  echo "install/purge: skipped (needs root)"
elif dpkg-query -W -f='${Status}' quilmo 2>/dev/null | grep -q 'installed'; then
  echo "install/purge: skipped (a quilmo package is installed here already; it stays)"
else
  # Two checks on one machine never install at once.
  exec 9>/tmp/quilmo-package-check.lock
  flock 9
  snapshot() {
    find /usr /etc /opt /var/lib/polkit-1 /var/lib/dpkg/info -xdev 2>/dev/null |
      grep -v -e '^/usr/share/icons/hicolor/icon-theme.cache$' -e '^/var/cache/' | sort
  }
  snapshot >"$work/before"
  if ! DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then
    cat "$work/dpkg.log" >&2
    problem "dpkg -i failed"
  else
    /usr/bin/quilmoctl --help >/dev/null || problem "the installed quilmoctl does not run"
    /usr/libexec/quilmo/hdiutil info -plist >/dev/null || problem "the installed disk tool does not run"
    [ "$(readlink /usr/libexec/quilmo/hdiutil)" = quilmo-disktool ] || problem "hdiutil is not a link to the tool"
  fi
  dpkg --purge quilmo >>"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; problem "dpkg --purge failed"; }
  snapshot >"$work/after"
  if ! diff "$work/before" "$work/after" >"$work/diff"; then
    cat "$work/diff" >&2
    problem "installing and purging the package changed the system's files"
  else
    echo "install/purge: installed, ran, purged; nothing left behind"
  fi
fi

if [ $fail -ne 0 ]; then
  echo "package-check: FAILED" >&2
  exit 1
fi
echo "package-check: passed"
