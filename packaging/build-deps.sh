#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need, asking
# apt-get only for those that are missing. Runs as root or through sudo.
# `build-deps.sh windows` installs instead what the Windows cross-build and
# its tests under Wine need (packaging/windows/test-windows.sh), and
# `build-deps.sh fuzz` what the fuzzers need (fuzz/run-fuzzers.sh).
set -euo pipefail

if [ "${1:-}" = fuzz ]; then
  # The fuzz preset (fuzz/run-fuzzers.sh): clang with its libFuzzer and
  # sanitizer runtimes.
  packages=(cmake ninja-build clang libclang-rt-14-dev libfmt-dev libcli11-dev nlohmann-json3-dev)
elif [ "${1:-}" = windows ]; then
  packages=(
    cmake ninja-build
    # The cross compiler with the posix thread model (std::thread), and zlib
    # for the tests' CRC cross-checks.
    g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
    # The header-only libraries and GoogleTest's sources, the same as Linux's.
    libfmt-dev libcli11-dev nlohmann-json3-dev googletest
    # Wine 8 runs the programs and tests; groff renders the manual page.
    wine wine64 groff-base
    # makensis builds the installer (cpack -G NSIS).
    nsis
    # Authenticode signing (packaging/windows/sign.cmake), and the throwaway
    # certificate test-windows.sh signs and verifies with.
    osslsigncode openssl
    # The window's test under Wine (test-window.sh): a virtual X server and
    # xdotool to find the window and type into it.
    xvfb xauth xdotool
  )
else
packages=(
  build-essential cmake ninja-build pkg-config
  libudev-dev libusb-1.0-0-dev libfmt-dev libcli11-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
  qt6-base-dev libgl-dev xvfb xauth
  # The sleep inhibitor's test: a private bus and a stand-in logind.
  dbus-daemon python3 python3-dbus python3-gi
  # The window's Japanese texts need a CJK font.
  fonts-ipafont-gothic
  # Qt's own dialogs (the file dialog) in the window's language: the
  # qtbase_*.qm translations the program loads, and the window tests check.
  qt6-translations-l10n
  # The Debian package and its check (packaging/check-package.sh):
  # dpkg-dev: dpkg-shlibdeps, which fills the package's Depends line;
  # desktop-file-utils, appstream: desktop-file-validate, appstreamcli validate;
  # man-db, groff-base: man -w on the installed package, the man pages' lint.
  dpkg-dev desktop-file-utils appstream man-db groff-base
  # file: CPack's dpkg-shlibdeps step when the package is made.
  file
  # The fleet playbook's test (tests/fleet): ansible-playbook.
  ansible-core
  # The end-to-end tests under QEMU (tests/e2e): the emulator, a static
  # busybox for the guest, cpio to pack its initramfs, and the tools that
  # unpack a kernel package's modules.
  qemu-system-x86 busybox-static cpio xz-utils zstd
)
fi

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
# Another install may hold apt's lock (a test installing for itself, an
# unattended upgrade): wait for it rather than fail.
lock_wait=(-o DPkg::Lock::Timeout=600)
"${sudo[@]}" apt-get "${lock_wait[@]}" update -qq
"${sudo[@]}" apt-get "${lock_wait[@]}" install -y -qq --no-install-recommends "${missing[@]}"
