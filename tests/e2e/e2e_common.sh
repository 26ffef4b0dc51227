# Sourced by the QEMU end-to-end tests (run_e2e.sh, run_e2e_usb.sh,
# run_e2e_wine.sh): the host tools, Debian's kernel and the modules a test
# asks for (with the modules they depend on), the busybox initramfs and the
# boot. The caller
# sets `budget` (seconds for the whole test) before sourcing and `here` to
# this folder.
#
# Exit codes: 0 pass, 1 failure, 77 a visible skip when QEMU, busybox or the
# kernel package cannot be had. Missing Debian packages are installed when
# running as root (or with password-less sudo) unless LUMAVIX_E2E_INSTALL=0.

started=$SECONDS

skip() { echo "SKIP: $*"; exit 77; }
die() { echo "FAIL: $*"; exit 1; }
note() { echo "e2e: $*"; }
left() { echo $((budget - (SECONDS - started))); }

# ------------------------------------------------------------------ tools --

sudo_cmd=()
can_install() {
  [ "${LUMAVIX_E2E_INSTALL:-1}" != 0 ] || return 1
  command -v apt-get >/dev/null 2>&1 || return 1
  if [ "$(id -u)" -eq 0 ]; then sudo_cmd=(); return 0; fi
  command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null && { sudo_cmd=(sudo -n); return 0; }
  return 1
}

# Tests run side by side may install at the same time: the one that finds
# apt's lock taken waits for it (within its own time-out) instead of failing.
apt_wait=(-o DPkg::Lock::Timeout=150)

apt_lists_updated=0
apt_update() {
  [ $apt_lists_updated = 1 ] && return 0
  apt_lists_updated=1
  note "updating the package lists"
  DEBIAN_FRONTEND=noninteractive timeout 180 "${sudo_cmd[@]}" apt-get "${apt_wait[@]}" update -qq \
    >/dev/null 2>&1
}

busybox_static() {
  local b
  b=$(command -v busybox 2>/dev/null) || return 1
  # The initramfs has no C library: only the static build runs there.
  ! ldd "$b" >/dev/null 2>&1
}

tools_missing() {
  local missing=()
  command -v qemu-system-x86_64 >/dev/null 2>&1 || missing+=(qemu-system-x86)
  busybox_static || missing+=(busybox-static)
  command -v cpio >/dev/null 2>&1 || missing+=(cpio)
  echo "${missing[@]}"
}

# Installs what is missing, or skips the test.
e2e_need_tools() {
  local missing t
  missing=$(tools_missing)
  if [ -n "$missing" ]; then
    can_install || skip "missing $missing (install them, or let this test do it: run as root or with password-less sudo, LUMAVIX_E2E_INSTALL unset)"
    note "installing $missing"
    # shellcheck disable=SC2086
    if ! DEBIAN_FRONTEND=noninteractive timeout 300 "${sudo_cmd[@]}" apt-get "${apt_wait[@]}" install -y -qq \
        --no-install-recommends $missing >/dev/null 2>&1; then
      apt_update
      # shellcheck disable=SC2086
      DEBIAN_FRONTEND=noninteractive timeout 300 "${sudo_cmd[@]}" apt-get "${apt_wait[@]}" install -y -qq \
        --no-install-recommends $missing >/dev/null 2>&1
    fi
    missing=$(tools_missing)
    [ -z "$missing" ] || skip "could not install $missing"
  fi
  for t in dpkg-deb gzip ldd; do
    command -v $t >/dev/null 2>&1 || skip "$t is not available"
  done
}

# ----------------------------------------------------------------- kernel --

# The modules a module file needs loaded first, from its modinfo "depends="
# field, space-separated (read without modinfo, which a build host may lack).
module_deps() {
  [ -f "$1" ] || return 0
  tr '\0' '\n' <"$1" 2>/dev/null | grep -a -m1 '^depends=' | cut -d= -f2 | tr ',' ' '
}

# The modules of a kernel directory, dependencies first, each once.
e2e_module_order() {
  local kdir=$1
  shift
  local seen=" "
  visit() {
    local m=$1 d
    case $seen in *" $m "*) return 0 ;; esac
    seen="$seen$m "
    for d in $(module_deps "$kdir/$m.ko"); do visit "$d"; done
    echo "$m"
  }
  for m in "$@"; do visit "$m"; done
}

# Whether a kernel directory holds vmlinuz and every module asked for, with
# everything they depend on.
kernel_complete() {
  local kdir=$1 m
  shift
  [ -f "$kdir/vmlinuz" ] || return 1
  for m in $(e2e_module_order "$kdir" "$@"); do
    [ -f "$kdir/$m.ko" ] || return 1
  done
}

kernel_pkg() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}

# e2e_fetch_kernel CACHE MODULE... sets `kernel_dir` to a directory of the
# cache with vmlinuz and the modules, uncompressed, with the modules they
# depend on. The kernel package is downloaded once; modules another test
# asked for before stay.
e2e_fetch_kernel() {
  local cache=$1 d pkg= deb ext kdir vmlinuz list m f path missing paths rounds
  shift
  # Tests run side by side share the cache: one fills it at a time, and
  # holds the lock only while it does. The time spent waiting for the other
  # is not taken from this test's budget.
  if command -v flock >/dev/null 2>&1; then
    local waited=$SECONDS
    exec 9>"$cache/.lock"
    flock -w 300 9 || note "warning: the kernel cache stayed locked; going on"
    started=$((started + SECONDS - waited))
  fi
  for d in "$cache"/kernel-*; do
    [ -f "$d/vmlinuz" ] || continue
    if kernel_complete "$d" "$@"; then kernel_dir=$d; exec 9>&-; return 0; fi
    pkg=${d##*/kernel-}
    break
  done
  if [ -z "$pkg" ]; then
    command -v apt-get >/dev/null 2>&1 || skip "apt-get is not available to fetch a kernel"
    pkg=$(kernel_pkg)
    if [ -z "$pkg" ] && can_install; then apt_update; pkg=$(kernel_pkg); fi
    [ -n "$pkg" ] || skip "the package list names no linux-image-amd64 kernel"
  fi
  mkdir -p "$cache/download"
  deb=$(ls "$cache/download/${pkg}_"*.deb 2>/dev/null | head -n 1)
  if [ -z "$deb" ]; then
    command -v apt-get >/dev/null 2>&1 || skip "apt-get is not available to fetch a kernel"
    note "downloading $pkg"
    # apt's download sandbox user may not write into the build tree.
    (cd "$cache/download" && timeout 300 apt-get download -q -o APT::Sandbox::User=root "$pkg" \
        >/dev/null 2>&1) || skip "could not download $pkg"
    deb=$(ls "$cache/download/${pkg}_"*.deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || skip "could not download $pkg"
  fi
  kdir="$cache/kernel-$pkg"
  ext="$cache/extract-$pkg.$$"
  rm -rf "$ext"; mkdir -p "$kdir" "$ext"
  list=$(dpkg-deb --fsys-tarfile "$deb" | tar -t 2>/dev/null)
  if [ ! -f "$kdir/vmlinuz" ]; then
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$ext" --wildcards './boot/vmlinuz-*' 2>/dev/null
    vmlinuz=$(ls "$ext"/boot/vmlinuz-* 2>/dev/null | head -n 1)
    [ -n "$vmlinuz" ] || die "$deb holds no boot/vmlinuz-*"
    cp "$vmlinuz" "$kdir/vmlinuz.part" && mv "$kdir/vmlinuz.part" "$kdir/vmlinuz"
  fi
  # Each round extracts the modules still missing; their dependencies are
  # known once they are out, so a chain of n modules takes n rounds at most.
  rounds=0
  while :; do
    missing=()
    for m in $(e2e_module_order "$kdir" "$@"); do
      [ -f "$kdir/$m.ko" ] || missing+=("$m")
    done
    [ ${#missing[@]} -eq 0 ] && break
    rounds=$((rounds + 1))
    [ $rounds -le 8 ] || die "cannot gather the modules ${missing[*]} from $deb"
    paths=()
    for m in "${missing[@]}"; do
      # A module's name and its file may differ in - and _.
      path=$(grep -E "/kernel/.*/${m//[-_]/[-_]}\.ko(\.xz|\.zst|\.gz)?\$" <<<"$list" | head -n 1)
      [ -n "$path" ] || die "$deb holds no $m module (is it built into this kernel?)"
      paths+=("$path")
    done
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$ext" "${paths[@]}" 2>/dev/null
    for m in "${missing[@]}"; do
      f=$(find "$ext" -name "$m.ko*" -o -name "${m//-/_}.ko*" -o -name "${m//_/-}.ko*" | head -n 1)
      case $f in
        "") die "cannot extract the $m module from $deb" ;;
        *.ko) cp "$f" "$kdir/$m.ko.part" ;;
        *.ko.xz) xz -dc "$f" >"$kdir/$m.ko.part" || die "cannot decompress $f" ;;
        *.ko.zst) zstd -qdc "$f" >"$kdir/$m.ko.part" || die "cannot decompress $f" ;;
        *.ko.gz) gzip -dc "$f" >"$kdir/$m.ko.part" || die "cannot decompress $f" ;;
        *) die "unknown module format: $f" ;;
      esac
      mv "$kdir/$m.ko.part" "$kdir/$m.ko"
    done
  done
  rm -rf "$ext"
  kernel_dir=$kdir
  # The cache is filled: the other test may go on while this one boots.
  exec 9>&-
}

# --------------------------------------------------------------- initramfs --

# A program's sources saved after its build are not in it: a check written
# against them then fails for no fault of the code. Said, not fatal, as file
# times are only a hint.
e2e_warn_stale() {
  local src prog newer
  src=$(cd "$here/../.." && pwd)
  for prog in "$@"; do
    newer=$(find "$src/cli" "$src/devlib" "$src/firmware" "$src/platform" "$src/sim" \
      "$src/settings" -name '*.cpp' -newer "$prog" -print -o -name '*.h' -newer "$prog" -print \
      2>/dev/null | head -n 3)
    [ -z "$newer" ] || note "warning: ${prog##*/} is older than $(echo $newer): rebuild it" \
      "before trusting this result"
  done
}

# e2e_make_root WORK PROGRAM... makes `root` ($WORK/root, emptied) with
# busybox, the programs in /usr/bin with their shared libraries and loader,
# and /e2e/guest_common.sh; /init is the caller's to add. Sets `fwdir` and
# `expected`, the guest's firmware folder and expected answers.
e2e_make_root() {
  local work=$1 prog applet lib
  shift
  root="$work/root"
  rm -rf "$work"; mkdir -p "$root"/{bin,usr/bin,e2e/modules,e2e/expected,e2e/fw,dev,proc,sys,tmp,run}
  cp "$(command -v busybox)" "$root/bin/busybox"
  for applet in $("$root/bin/busybox" --list); do
    [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
  done
  for prog in "$@"; do
    [ -x "$prog" ] || die "$prog is not built"
    cp "$prog" "$root/usr/bin/${prog##*/}"
  done
  # The programs' shared libraries and loader, at the paths ldd names.
  for prog in "$@"; do
    ldd "$prog" | awk '/=> \// { print $3 } /^[ \t]*\// { print $1 }'
  done | sort -u | while read -r lib; do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
  cp "$here/guest_common.sh" "$root/e2e/guest_common.sh"
  fwdir="$root/e2e/fw"
  expected="$root/e2e/expected"
}

# expect NAME COMMAND... runs COMMAND on the host in the guest's firmware
# folder ($fwdir) and keeps its standard output as the guest's expected
# answer $expected/NAME, its exit status in $expected/NAME.rc.
expect() {
  local name=$1 rc
  shift
  (cd "$fwdir" && "$@") >"$expected/$name" 2>"$work/$name.err"
  rc=$?
  echo $rc >"$expected/$name.rc"
  return $rc
}

# e2e_expect_update FW PROFILE [SIZE] makes the guest's firmware file, a
# newer version of the camera's own firmware (an image of SIZE bytes, the
# tool's default when not given), and the in-process answers to status,
# update --yes and status again, the camera's memories kept in
# $work/host.state between them. The flash's dump after the update is
# $fwdir/expected-dump.bin.
e2e_expect_update() {
  local sim=("$1" "--simulate=$2") size=()
  [ -n "${3:-}" ] && size=(--size "$3")
  "$1" make-firmware --version 0105 --product-id 0E51 "${size[@]}" -o "$fwdir/update.bin" \
    >/dev/null || die "make-firmware failed"
  expect status "${sim[@]}" status
  note "in-process status: exit $(cat "$expected/status.rc")"
  expect update "${sim[@]}" --sim-state "$work/host.state" update --yes update.bin ||
    { cat "$expected/update" "$work/update.err"; die "in-process update failed"; }
  expect status-after-update "${sim[@]}" --sim-state "$work/host.state" status
  note "in-process status after the update: exit $(cat "$expected/status-after-update.rc")"
  (cd "$fwdir" && "${sim[@]}" --sim-state "$work/host.state" dump -o expected-dump.bin \
    >/dev/null 2>&1) || die "in-process dump failed"
}

# Copies the modules into $root/e2e/modules with their load order in
# $root/e2e/modules/order, one name a line.
e2e_add_modules() {
  local m
  e2e_module_order "$kernel_dir" "$@" >"$root/e2e/modules/order"
  while read -r m; do
    cp "$kernel_dir/$m.ko" "$root/e2e/modules/"
  done <"$root/e2e/modules/order"
}

e2e_pack_initramfs() {
  (cd "$root" && find . -print0 | cpio --null -o -H newc --quiet | gzip -1) >"$work/initramfs.gz" ||
    die "cannot pack the initramfs"
}

# -------------------------------------------------------------------- boot --

# e2e_boot [QEMU-OPTION...] boots the kernel with the initramfs for what is
# left of the budget, with the options given added to the emulator's, shows
# the guest's check, timing and note lines, and exits with its result. The
# caller may set `e2e_cpus` and `e2e_memory` (MiB) first.
e2e_boot() {
  local remaining boot_start qemu_rc result
  # KVM, where it works, only makes the same run faster.
  # shellcheck source=qemu_accel.sh
  . "$here/qemu_accel.sh"
  choose_accel "$kernel_dir/vmlinuz"
  note "accelerator: $accel_why"
  remaining=$(left)
  [ "$remaining" -gt 20 ] || die "no time left to boot the kernel (preparation took $((SECONDS - started)) s)"
  note "booting (at most $remaining s)"
  boot_start=$SECONDS
  # The initramfs unpacks into at most half the guest's memory: the
  # sanitized programs with their libraries need more than 256 MiB of it.
  timeout --kill-after=5 "$remaining" qemu-system-x86_64 \
    -nodefaults -no-user-config "${accel[@]}" -machine pc -cpu max \
    -smp "${e2e_cpus:-1}" -m "${e2e_memory:-1024}" \
    -display none -serial stdio -monitor none -no-reboot \
    -kernel "$kernel_dir/vmlinuz" -initrd "$work/initramfs.gz" "$@" \
    -append "console=ttyS0 panic=-1 loglevel=4 rdinit=/init" \
    </dev/null >"$work/console.log" 2>"$work/qemu.err"
  qemu_rc=$?
  note "guest ran $((SECONDS - boot_start)) s (emulator status $qemu_rc); console in $work/console.log"

  tr -d '\r' <"$work/console.log" | grep -E '^(CHECK|TIMING|e2e: |    \|)' || true
  result=$(tr -d '\r' <"$work/console.log" | grep -E '^LUMAVIX-E2E-RESULT: ' | tail -n 1)
  case $result in
    "LUMAVIX-E2E-RESULT: PASS"*)
      echo "$result"; exit 0 ;;
    "LUMAVIX-E2E-RESULT: FAIL"*)
      echo "$result"; exit 1 ;;
  esac
  echo "no result line from the guest; last console lines:"
  tr -d '\r' <"$work/console.log" | tail -n 40
  cat "$work/qemu.err"
  [ $qemu_rc = 124 ] && die "the guest did not finish in time"
  die "the guest stopped without a result"
}
