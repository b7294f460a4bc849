#!/usr/bin/env bash
# Checks the Debian package built by `make package`:
#  - its file list holds every program and every file the desktop needs, and nothing that
#    starts the helper for every user;
#  - its control data names the dependencies, section, priority, homepage, description;
#  - the desktop entry, the AppStream metainfo, the polkit policy and the manual pages in it
#    pass their validators, and lintian reports no error, no warning and no hardening tag;
#  - every ELF file in it passes hardening-check and carries no .comment section;
#  - its prerm warns about mounted RAM disks on removal only;
#  - a second build of the same sources in another build tree gives the same bytes;
#  - as root, with dpkg, it installs, runs, and purges, leaving the system as it was.
# The second build is configured like the first (its build type and compiler launcher, and
# CMAKE_ARGS as make passes them) and reuses the compiler cache and its own tree from the
# last check; REPRO_BUILD (default BUILD-reproducible) names that tree.
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
[ -x "$build/bin/Quilmo" ] && expect+=(/usr/bin/Quilmo /usr/share/man/man1/Quilmo.1.gz
                                       /usr/share/bash-completion/completions/Quilmo)
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
# policykit-1 is gone from Debian since 12: pkexec is its own package.
[[ $depends == *policykit-1* ]] && problem "Depends names the obsolete policykit-1: $depends"
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
lintian --fail-on error,warning --info "$deb" >"$work/lintian" 2>&1
lintian_status=$?
if [ $lintian_status -ne 0 ]; then
  cat "$work/lintian" >&2
  problem "lintian reports errors or warnings (status $lintian_status)"
elif grep -q '^[EWIPX]: [^ ]*: hardening-' "$work/lintian"; then
  grep '^[EWIPX]: [^ ]*: hardening-' "$work/lintian" >&2
  problem "lintian reports missing hardening"
else
  echo "lintian: no error, no warning, no hardening tag ($(grep -c '^I:' "$work/lintian" || true) notes)"
  grep '^I:' "$work/lintian" | sort -u | sed 's/^/  /' || true
fi

# -- The binaries ---------------------------------------------------------------------------
# hardening-check's checks, each ELF file; two of them need a second look, as neither can
# tell a missing flag from a program that gives the flag nothing to do:
#  - the control-flow marking (IBT, SHSTK) is kept by the linker only when every object
#    carries it, the C library's start files among them; where those lack it (Debian 12),
#    no program has it whatever its flags. Our own code must then begin its functions with
#    endbr64.
#  - "Fortify Source functions" wants at least one checked call (__memcpy_chk and the like);
#    a program whose every call is proven safe by the compiler has none. Then every object
#    of the build must have been compiled with _FORTIFY_SOURCE and the optimiser.
cf_options=()
start_file=$(${CXX:-c++} -print-file-name=Scrt1.o 2>/dev/null)
if [ "$(dpkg --print-architecture)" != amd64 ] ||
   [ "$(readelf -n "$start_file" 2>/dev/null | grep -c 'x86 feature: IBT, SHSTK')" -eq 0 ]; then
  cf_options=(--nocfprotection)
  echo "binaries: the C library's start files ($start_file) carry no control-flow marking here;" \
       "checking our code for endbr64 instead"
fi
commands=$(grep -c '"command":' "$build/compile_commands.json" 2>/dev/null || true)
unfortified=$( (grep '"command":' "$build/compile_commands.json" 2>/dev/null | grep -v -e '-D_FORTIFY_SOURCE=[23]'
                grep '"command":' "$build/compile_commands.json" 2>/dev/null | grep -v -e ' -O[123s] ') | grep -c . || true)
elves=0
while IFS= read -r -d '' f; do
  [ "$(head -c 4 "$f" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ] || continue
  elves=$((elves + 1))
  name=${f#"$root"}
  hardening-check --nofortify "${cf_options[@]}" "$f" >"$work/hardening" 2>&1 ||
    { cat "$work/hardening" >&2; problem "hardening-check fails on $name"; }
  fortify=$(hardening-check "$f" 2>&1 | sed -n 's/^ *Fortify Source functions: //p' || true)
  case $fortify in
    yes* | unknown*) ;;
    *)
      if [ "${commands:-0}" -gt 0 ] && [ "${unfortified:-1}" -eq 0 ]; then
        echo "binaries: $name has no checked call (\"$fortify\"); all $commands objects were built with _FORTIFY_SOURCE"
      else
        problem "$name is not built with _FORTIFY_SOURCE ($fortify; $unfortified of $commands compile commands lack it)"
      fi ;;
  esac
  if [ ${#cf_options[@]} -gt 0 ] && [ "$(dpkg --print-architecture)" = amd64 ]; then
    [ "$(objdump -d --no-show-raw-insn "$f" | grep -c endbr64)" -gt 0 ] || problem "$name is not built with -fcf-protection"
  fi
  [ "$(readelf -S -W "$f" | grep -cE ' \.comment( |$)')" -eq 0 ] || problem "$name keeps its .comment section"
done < <(find "$root" -type f -print0 | sort -z)
[ $elves -gt 0 ] || problem "no ELF file found in the package"
[ $fail -eq 0 ] && echo "binaries: $elves ELF files pass hardening-check and have no .comment"

# -- prerm ---------------------------------------------------------------------------------
dpkg-deb -e "$deb" "$work/control"
[ -x "$work/control/prerm" ] || problem "the package has no executable prerm"
for args in "upgrade 0.1.1" "failed-upgrade 0.1.0"; do
  # shellcheck disable=SC2086
  said=$(sh "$work/control/prerm" $args </dev/null 2>&1) || problem "prerm $args failed: $said"
  [ -z "$said" ] || problem "prerm $args says something on an upgrade: $said"
done
sh "$work/control/prerm" remove </dev/null >/dev/null 2>&1 || problem "prerm remove failed"

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
    for program in /usr/bin/quilmoctl /usr/bin/Quilmo /usr/libexec/quilmo/Quilmo-Helper; do
      [ -x "$program" ] || continue
      env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 10 "$program" --version >/dev/null ||
        problem "the installed $program --version fails"
    done
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

# -- The same sources give the same package --------------------------------------------------
# A second build tree beside the first, at the same depth below the sources (the paths the
# compiler sees are relative to it), configured from scratch the first time and kept for
# the next check; the compiler cache serves what the first build compiled.
second=${REPRO_BUILD:-$(dirname "$build")/$(basename "$build")-reproducible}
started=$(date +%s)
like_first=()
for variable in CMAKE_BUILD_TYPE CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER; do
  value=$(sed -n "s/^$variable:[A-Z]*=//p" "$build/CMakeCache.txt")
  [ -z "$value" ] || like_first+=("-D$variable=$value")
done
# shellcheck disable=SC2086
if cmake -S . -B "$second" -G Ninja "${like_first[@]}" -DBUILD_TESTING=OFF ${CMAKE_ARGS:-} >"$work/second.log" 2>&1 &&
   cmake --build "$second" >>"$work/second.log" 2>&1 &&
   cmake --build "$second" --target package >>"$work/second.log" 2>&1; then
  again=$second/package/$(basename "$deb")
  if cmp -s "$deb" "$again"; then
    echo "reproducible: a second build in $second gives the same $(basename "$deb") ($(( $(date +%s) - started )) s)"
  else
    problem "a second build of the same sources gives another package: $again"
    mkdir -p "$work/again"
    dpkg-deb -x "$again" "$work/again"
    diff <(dpkg-deb -c "$deb") <(dpkg-deb -c "$again") >&2
    diff -r "$root" "$work/again" >&2
    diff <(dpkg-deb -I "$deb") <(dpkg-deb -I "$again") >&2
  fi
else
  tail -30 "$work/second.log" >&2
  problem "the second build failed"
fi

if [ $fail -ne 0 ]; then
  echo "package-check: FAILED" >&2
  exit 1
fi
echo "package-check: passed"
