#!/usr/bin/env bash
# The fresh-machine check: README's two set-up commands on a Debian 12 system
# that has nothing but its minimal base.
#
#   packaging/check-fresh-machine.sh [--keep] [REPOSITORY]
#
# Makes a Debian 12 minbase system with debootstrap in a temporary folder,
# clones REPOSITORY (default: the repository this script is in; its committed
# HEAD, as a new user would clone it) into /root/lumavix there, and runs, as
# root inside it, `./run.sh` and then `./test.sh` exactly as README gives them.
# Fails when either fails, or when any test skipped that should run on such a
# machine as root (packaging/report-skips.py --strict). Prints the time of
# each step.
#
# Only the pristine minbase tree is cached between runs, as a tarball in
# $LUMAVIX_FRESH_CACHE (default /var/cache/lumavix-fresh-machine): every
# package the scripts install is installed anew each run. --keep leaves the
# system's folder behind for a look afterwards.
#
# Needs root (debootstrap, chroot and the mounts). Not as root, or without
# apt-get, it prints a SKIPPED line and exits 0, except under CI=true, where
# it fails: CI is where it must run.
set -euo pipefail

keep=0
if [ "${1:-}" = --keep ]; then
  keep=1
  shift
fi
here=$(cd "$(dirname "$0")" && pwd)
repo=${1:-$(cd "$here/.." && pwd)}
suite=bookworm
mirror=${LUMAVIX_FRESH_MIRROR:-http://deb.debian.org/debian}
cache=${LUMAVIX_FRESH_CACHE:-/var/cache/lumavix-fresh-machine}

skip_or_fail() {
  if [ "${CI:-}" = true ]; then
    echo "FAIL: fresh-machine check cannot run: $*" >&2
    exit 1
  fi
  echo "SKIPPED: fresh-machine check: $*"
  exit 0
}
[ "$(id -u)" -eq 0 ] || skip_or_fail "it needs root (debootstrap, chroot, mounts)"
command -v apt-get >/dev/null 2>&1 || skip_or_fail "apt-get is not available"
git -C "$repo" rev-parse --verify -q HEAD >/dev/null || { echo "FAIL: $repo is not a git repository" >&2; exit 1; }

step_start=0
step() {
  step_start=$SECONDS
  echo "== fresh machine: $* ($(date -u +%H:%M:%S))"
}
step_done() { echo "== fresh machine: $1 took $((SECONDS - step_start)) s"; }

if ! command -v debootstrap >/dev/null 2>&1; then
  step "installing debootstrap"
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends debootstrap >/dev/null ||
    { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends debootstrap >/dev/null; }
  step_done "installing debootstrap"
fi

work=$(mktemp -d /var/tmp/lumavix-fresh.XXXXXX)
root="$work/root"

# Processes that a test left running inside the system (an emulator, a
# simulated camera) would outlive the check and keep its folder busy.
kill_leftovers() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill -9 "${p#/proc/}" 2>/dev/null
  done
  return 0
}

cleanup() {
  kill_leftovers
  # The system's mounts live in a mount namespace of their own and are gone
  # with it; never delete through one that is somehow still there.
  if grep -q " $root/" /proc/mounts; then
    echo "warning: $root still has mounts; left in place" >&2
  elif [ "$keep" = 1 ]; then
    echo "The system is kept in $root"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

# ----------------------------------------------------------- the base system --

mkdir -p "$cache"
tarball="$cache/$suite-minbase-amd64.tar"
if [ -f "$tarball" ]; then
  step "unpacking the cached minbase system"
  mkdir -p "$root"
  tar -xpf "$tarball" -C "$root"
  step_done "unpacking the minbase system"
else
  step "debootstrap --variant=minbase $suite"
  if ! debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$work/debootstrap.log" 2>&1; then
    tail -n 30 "$work/debootstrap.log"
    echo "FAIL: debootstrap failed" >&2
    exit 1
  fi
  # Cached before anything else is installed into it.
  tar -cpf "$tarball.part" -C "$root" . && mv "$tarball.part" "$tarball"
  step_done "debootstrap"
fi

# The machine's package sources and apt settings (a mirror, a proxy), as a
# new machine in this place would have them, and its name server.
if [ -d /etc/apt/sources.list.d ]; then
  cp -a /etc/apt/sources.list.d/. "$root/etc/apt/sources.list.d/"
  find "$root/etc/apt/sources.list.d" -name '*.disabled*' -delete
  # debootstrap's own line would name the same archive twice.
  if ls "$root"/etc/apt/sources.list.d/*.sources >/dev/null 2>&1; then
    : >"$root/etc/apt/sources.list"
  fi
fi
if [ -s /etc/apt/sources.list ]; then cp /etc/apt/sources.list "$root/etc/apt/sources.list"; fi
for f in /etc/apt/apt.conf.d/*proxy* /etc/apt/apt.conf.d/99artifact-registry; do
  if [ -f "$f" ]; then cp "$f" "$root/etc/apt/apt.conf.d/"; fi
done
cp -L /etc/resolv.conf "$root/etc/resolv.conf"

# --------------------------------------------------------------- the clone --

step "cloning $repo"
git clone -q --no-local "$repo" "$root/root/lumavix"
echo "   at $(git -C "$root/root/lumavix" log -1 --format='%h %s')"
step_done "cloning"

# Runs a command as root in the system, in a mount namespace of its own, so
# that the system's /proc, /sys, /dev, /run and /tmp vanish with it.
in_system() {
  unshare --mount --propagation private /bin/bash -euc '
    root=$1; shift
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --bind /dev "$root/dev"
    mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
    mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
    mount -t tmpfs -o mode=0755 tmpfs "$root/run"
    mkdir -p "$root/run/lock" && chmod 1777 "$root/run/lock"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
    # A login environment, nothing of this shell'"'"'s.
    exec chroot "$root" /usr/bin/env -i HOME=/root USER=root LOGNAME=root SHELL=/bin/bash \
      TERM=dumb LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      /bin/bash -c "cd /root/lumavix && $*"
  ' in_system "$root" "$@"
}

# The logs of the last run stay in the cache folder for a look afterwards.
logs_dir="$cache/last-run"
rm -rf "$logs_dir" && mkdir -p "$logs_dir"

failed=()
step "./run.sh"
if in_system ./run.sh >"$logs_dir/run.log" 2>&1; then
  tail -n 3 "$logs_dir/run.log"
else
  tail -n 40 "$logs_dir/run.log"
  failed+=("./run.sh")
fi
step_done "./run.sh"

step "./test.sh"
if in_system ./test.sh >"$logs_dir/test.log" 2>&1; then
  grep -E '^(1?[0-9]+% tests passed|Total Test time)' "$logs_dir/test.log" || true
else
  tail -n 60 "$logs_dir/test.log"
  failed+=("./test.sh")
fi
step_done "./test.sh"

report="$root/root/lumavix/build/default/test-report.xml"
package_log="$root/root/lumavix/build/default/package-check.log"
if [ -f "$report" ]; then
  logs=()
  [ -f "$package_log" ] && logs+=("$package_log")
  "$here/report-skips.py" --strict "$report" "${logs[@]}" || failed+=("skipped tests")
else
  echo "no test report from ./test.sh"
  failed+=("no test report")
fi
cp "$report" "$logs_dir/" 2>/dev/null || true

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAIL: fresh-machine check: ${failed[*]} (logs in $logs_dir)"
  exit 1
fi
echo "PASS: fresh-machine check: ./run.sh and ./test.sh on a Debian $suite minbase system"
