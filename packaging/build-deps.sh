#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need, asking
# apt-get only for those that are missing. Runs as root or through sudo.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libudev-dev libusb-1.0-0-dev libfmt-dev libcli11-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
  qt6-base-dev libgl-dev xvfb xauth
  # The sleep inhibitor's test: a private bus and a stand-in logind.
  dbus-daemon python3 python3-dbus python3-gi
  # The window's Japanese texts need a CJK font.
  fonts-ipafont-gothic
  # The Debian package and its check (packaging/check-package.sh):
  # dpkg-dev: dpkg-shlibdeps, which fills the package's Depends line;
  # desktop-file-utils, appstream: desktop-file-validate, appstreamcli validate;
  # man-db, groff-base: man -w on the installed package, the man pages' lint.
  dpkg-dev desktop-file-utils appstream man-db groff-base
  # The fleet playbook's test (tests/fleet): ansible-playbook.
  ansible-core
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  echo "error: packages missing (${missing[*]}) and neither root nor sudo is available" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
