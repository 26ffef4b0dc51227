#!/usr/bin/env bash
# Self-test of check-lib.sh: the package check is only as good as the
# functions that judge the rule, the Depends line and the man pages.
# Usage: test-check-lib.sh [LUMAVIX_FW]   (with the program, the man page of
# lumavix-fw is also compared with its help pages)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=check-lib.sh
. "$here/check-lib.sh"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# ------------------------------------------------- world-writable modes --
# expected (yes: world-writable, no: not) | rule line
while IFS='|' read -r expected line; do
  printf '%s\n' "$line" > "$tmp/rule"
  if rule_world_writable_lines "$tmp/rule" > /dev/null; then got=yes; else got=no; fi
  [ "$got" = "$expected" ] || fail "world-writable: expected $expected for: $line"
done <<'EOF'
yes|SUBSYSTEM=="hidraw", MODE="0666"
yes|SUBSYSTEM=="hidraw", MODE="666"
yes|SUBSYSTEM=="hidraw", MODE="0662"
yes|SUBSYSTEM=="hidraw", MODE="0777"
yes|SUBSYSTEM=="hidraw", MODE="0663"
yes|SUBSYSTEM=="hidraw", MODE:="0666"
yes|SUBSYSTEM=="hidraw",MODE="0666"
yes|SUBSYSTEM=="hidraw", MODE = "0666"
yes|SUBSYSTEM=="hidraw", MODE="0660", GROUP="plugdev", MODE="0666"
no|SUBSYSTEM=="hidraw", MODE="0664"
no|SUBSYSTEM=="hidraw", MODE="0660", GROUP="plugdev"
no|SUBSYSTEM=="hidraw", MODE="0661"
no|SUBSYSTEM=="hidraw", MODE="0600", TAG+="uaccess"
no|# SUBSYSTEM=="hidraw", MODE="0666"
no|   # MODE="0666" in an indented comment
no|SUBSYSTEM=="hidraw", ENV{ID_MODE}="0666"
no|SUBSYSTEM=="hidraw", TAG+="uaccess"
EOF

# The shipped rule itself.
if rule_world_writable_lines "$here/70-lumavix.rules"; then
  fail "70-lumavix.rules gives every user write access (lines above)"
fi

# -------------------------------------------------------------- uaccess --
# expected | vendor | rule line
while IFS='|' read -r expected vendor line; do
  printf '%s\n' "$line" > "$tmp/rule"
  if rule_grants_uaccess "$tmp/rule" "$vendor"; then got=yes; else got=no; fi
  [ "$got" = "$expected" ] || fail "uaccess: expected $expected for vendor $vendor: $line"
done <<'EOF'
yes|2a9c|SUBSYSTEM=="hidraw", ATTRS{idVendor}=="2a9c", TAG+="uaccess"
yes|2A9C|SUBSYSTEM=="hidraw", ATTRS{idVendor}=="2a9c", TAG+="uaccess"
yes|2a9c|SUBSYSTEM=="hidraw", ATTRS{idVendor}=="2A9C", TAG+="uaccess"
no|2a9c|# SUBSYSTEM=="hidraw", ATTRS{idVendor}=="2a9c", TAG+="uaccess"
no|2a9c|SUBSYSTEM=="hidraw", ATTRS{idVendor}=="2a9d", TAG+="uaccess"
no|2a9c|SUBSYSTEM=="hidraw", ATTRS{idVendor}=="2a9c", MODE="0660"
no|2a9c|SUBSYSTEM=="hidraw", ATTRS{idVendor}=="2a9c", TAG-="uaccess"
EOF
rule_grants_uaccess "$here/70-lumavix.rules" 2a9c ||
  fail "70-lumavix.rules does not tag the camera's nodes for uaccess"

# ------------------------------------------------------------- Depends --
# expected | name | Depends field
while IFS='|' read -r expected name depends; do
  if depends_names "$depends" "$name"; then got=yes; else got=no; fi
  [ "$got" = "$expected" ] || fail "Depends: expected $expected for $name in: $depends"
done <<'EOF'
yes|udev|libc6 (>= 2.34), libqt6widgets6 (>= 6.1.2), udev
yes|udev|udev (>= 252), libc6
yes|udev|libc6, systemd-standalone | udev
yes|udev|libc6,udev
yes|libqt6widgets6|libc6 (>= 2.34), libqt6widgets6 (>= 6.1.2), udev
yes|libqt6widgets6|libqt6widgets6:amd64 (>= 6.1.2)
no|udev|libc6 (>= 2.34), libudev1 (>= 183)
no|udev|libc6, udev-extra
no|udev|
no|libqt6widgets6|libqt6gui6 (>= 6.1.2), libqt6core6 (>= 6.4.0)
EOF

# ------------------------------------------------------ man vs. --help --
# A stand-in program with two commands, one a group, and options at each
# level; its man page forgets one command and one option.
cat > "$tmp/prog" <<'EOF'
#!/bin/sh
case "$*" in
  --help) printf 'Usage: prog [OPTIONS] SUBCOMMAND\n\nOptions:\n  -h,--help  Help\n  --json  JSON\n\nSubcommands:\n  list  List\n  tables  Tables\n' ;;
  "list --help") printf 'Usage: prog list\n\nOptions:\n  -h,--help  Help\n' ;;
  "tables --help") printf 'Usage: prog tables\n\nOptions:\n  -h,--help  Help\n\nSubcommands:\n  download  Write\n' ;;
  "tables download --help") printf 'Usage: prog tables download\n\nPositionals:\n  FILE TEXT  File\n\nOptions:\n  -h,--help  Help\n  --backend-addr TEXT  Address\n  --find  Find\n' ;;
esac
EOF
chmod +x "$tmp/prog"
[ "$(help_commands "$tmp/prog" | tr '\n' ';')" = "list;tables download;" ] ||
  fail "help_commands: expected 'list;tables download;', got '$(help_commands "$tmp/prog" | tr '\n' ';')'"
printf '.TH PROG 1\n.SH COMMANDS\n.B "tables download"\n.BR \\-\\-backend\\-addr " \\fIHEX\\fR"\n.B \\-\\-help\n' \
  > "$tmp/prog.1"
if command -v groff > /dev/null; then
  missing=$(man_missing_from_help "$tmp/prog" "$tmp/prog.1" | sort | tr '\n' ';')
  expected="command list;option --find (of tables download);option --json;"
  [ "$missing" = "$expected" ] || fail "man_missing_from_help: expected '$expected', got '$missing'"

  # The real program and its page, when given.
  if [ $# -ge 1 ]; then
    if ! missing=$(man_missing_from_help "$1" "$here/man/lumavix-fw.1"); then
      fail "man/lumavix-fw.1 does not document what $1 --help shows: $(tr '\n' ';' <<< "$missing")"
    fi
  fi
else
  echo "SKIPPED: man page checks (groff is not installed)"
fi

# ------------------------------------------------------------ appstream --
out=$'W: x:3: cid-has-number\nI: x:10: summary-has-dot-suffix\n\xe2\x9c\x94 Validation was successful'
appstream_error_lines "$out" > /dev/null && fail "appstream: warnings and infos counted as errors"
out=$'E: x:4: metadata-license-invalid GPL-9\nW: x:3: cid-has-number'
[ "$(appstream_error_lines "$out")" = "E: x:4: metadata-license-invalid GPL-9" ] ||
  fail "appstream: the E: line was not picked out of: $out"

if [ "$failures" -gt 0 ]; then
  echo "check-lib self-test: $failures failure(s)"
  exit 1
fi
echo "check-lib self-test: OK"
