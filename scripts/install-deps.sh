#!/usr/bin/env bash
# Installs the Debian packages Quilmo needs to build, test and run, only those missing.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config git ccache
  qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools libgl-dev
  libplist-dev libarchive-dev libssl-dev libgtest-dev libgmock-dev libbenchmark-dev
  dbus dbus-bin attr e2fsprogs util-linux pkexec
  clang libclang-rt-dev
  libqt6svg6
  librsvg2-bin man-db gzip
  desktop-file-utils appstream libxml2-utils lintian dpkg-dev devscripts
  xvfb trayer x11-utils
  # Real browsers for the browser presets' tests, and the sandbox Flatpak runs them in.
  firefox-esr chromium bubblewrap
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
