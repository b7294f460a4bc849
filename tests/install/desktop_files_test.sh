#!/usr/bin/env bash
# The desktop files as built pass the validators a distribution runs on them, and the
# PNG icons drawn from the SVGs have the sizes their places promise.
#   desktop_files_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$(realpath "${1:?build directory}") source=$(realpath "${2:?source directory}")
fail=0
problem() { echo "FAIL: $*" >&2; fail=1; }
for tool in desktop-file-validate appstreamcli xmllint man; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (make deps installs it)"; exit 77; }
done

desktop-file-validate "$source/resources/desktop/org.quilmo.Quilmo.desktop" || problem "desktop-file-validate"
grep -qx 'Exec=Quilmo' "$source/resources/desktop/org.quilmo.Quilmo.desktop" || problem "the desktop entry does not start Quilmo"
grep -qx 'Icon=org.quilmo.Quilmo' "$source/resources/desktop/org.quilmo.Quilmo.desktop" || problem "the desktop entry names another icon"
appstreamcli validate --no-net "$build/resources/org.quilmo.Quilmo.metainfo.xml" || problem "appstreamcli validate"
grep -q '@[A-Z_]*@' "$build/resources/org.quilmo.Quilmo.metainfo.xml" && problem "the metainfo holds an unfilled @VARIABLE@"
xmllint --noout "$source/resources/org.quilmo.disktool.policy.in" || problem "the polkit policy is not well-formed"
for svg in "$source"/resources/icons/*.svg "$source"/resources/images/*.svg; do
  xmllint --noout "$svg" || problem "$svg is not well-formed"
done
for page in "$build"/resources/man/*.1; do
  grep -q '@[A-Z_]*@' "$page" && problem "$(basename "$page") holds an unfilled @VARIABLE@"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || problem "$(basename "$page"): $warnings"
done

# PNG width and height are the big-endian words at bytes 16 and 20.
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{ print $1*16777216+$2*65536+$3*256+$4 "x" $5*16777216+$6*65536+$7*256+$8 }'; }
for dir in "$build"/resources/icons/*x*; do
  size=$(basename "$dir")
  [ "$(png_size "$dir/org.quilmo.Quilmo.png")" = "$size" ] || problem "$dir/org.quilmo.Quilmo.png is $(png_size "$dir/org.quilmo.Quilmo.png"), not $size"
done
for look in Color Black White Pressed; do
  [ "$(png_size "$build/share/quilmo/images/QuilmoStatusItem$look.png")" = 22x22 ] || problem "QuilmoStatusItem$look.png is not 22x22"
  [ "$(png_size "$build/share/quilmo/images/QuilmoStatusItem$look@2x.png")" = 44x44 ] || problem "QuilmoStatusItem$look@2x.png is not 44x44"
done
[ $fail -eq 0 ] && echo PASS
exit $fail
