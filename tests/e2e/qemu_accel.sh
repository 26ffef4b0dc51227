# Sourced by the QEMU end-to-end tests. choose_accel KERNEL sets the array
# `accel` to the QEMU accelerator options that can really run a guest here.
#
# A writable /dev/kvm is not proof that KVM works: under some nested hosts
# QEMU aborts while loading the virtual CPU's registers ("failed to set MSR
# 0x10a"), before the guest runs, and the `-accel kvm -accel tcg` fallback does
# not catch that, as the accelerator itself started. So KVM is chosen only
# after a short boot of the same kernel, without an initramfs, has printed its
# banner on the serial console; otherwise the guest runs under TCG, slower
# but the same. The host's virtualisation never fails a test.
# LUMAVIX_E2E_ACCEL=tcg|kvm skips the probe.
choose_accel() {
  local kernel=$1 log
  accel=(-accel tcg)
  case ${LUMAVIX_E2E_ACCEL:-} in
    tcg) accel_why="tcg (LUMAVIX_E2E_ACCEL)"; return 0 ;;
    kvm) accel=(-accel kvm); accel_why="kvm (LUMAVIX_E2E_ACCEL)"; return 0 ;;
  esac
  if [ ! -w /dev/kvm ]; then
    accel_why="tcg (no usable /dev/kvm)"
    return 0
  fi
  log=$(mktemp) || { accel_why="tcg (no temporary file for the KVM probe)"; return 0; }
  # The kernel finds no root file system and panics; panic=-1 with -no-reboot
  # then ends QEMU at once. loglevel=7 lets the banner reach the console.
  timeout --kill-after=2 20 qemu-system-x86_64 \
    -nodefaults -no-user-config -accel kvm -machine pc -cpu max -smp 1 -m 128 \
    -display none -serial stdio -monitor none -no-reboot \
    -kernel "$kernel" -append "console=ttyS0 panic=-1 loglevel=7" \
    </dev/null >"$log" 2>&1
  if grep -q 'Linux version' "$log"; then
    accel=(-accel kvm)
    accel_why="kvm"
  else
    accel_why="tcg (KVM did not start a guest: $(grep -m1 -E 'error|Assertion|failed' "$log" | cut -c1-120))"
  fi
  rm -f "$log"
}
