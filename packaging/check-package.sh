#!/usr/bin/env bash
# Builds the Debian package in BUILD_DIR and checks it: its contents, control
# fields, udev rule, desktop entry, AppStream metadata and man pages; then,
# as root or with passwordless sudo, installs it, runs the installed programs
# and removes it again, together with any package the installation pulled in,
# so that the machine is left as it was.
# Usage: packaging/check-package.sh BUILD_DIR
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=check-lib.sh
. "$here/check-lib.sh"

readonly package=lumavix-firmware-update
readonly vendor_id=2a9c
readonly programs=(lumavix-fw lumavix-update lumavix-simcam)
readonly rule=usr/lib/udev/rules.d/70-lumavix.rules
readonly desktop=usr/share/applications/lumavix-update.desktop
readonly icon=usr/share/icons/hicolor/scalable/apps/lumavix-update.svg
readonly metainfo=usr/share/metainfo/com.lumavix.FirmwareUpdate.metainfo.xml
readonly readme=usr/share/doc/$package/README.md

die() {
  echo "package check: FAILED: $*" >&2
  exit 1
}
step() { echo "== $*"; }

[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
[ -f "$1/CMakeCache.txt" ] || { echo "error: $1 is not a configured build folder" >&2; exit 2; }
build=$(cd "$1" && pwd)
started=$SECONDS

work=$(mktemp -d "${TMPDIR:-/tmp}/lumavix-pkgcheck-XXXXXX")
installed_by_us=0
sudo=()

installed_packages() {
  dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' | awk '$1 ~ /^.i/ {print $2}' | sort
}
is_installed() { installed_packages | grep -qE "^${package}(:.*)?\$"; }

# Purges the package and every package that its installation pulled in
# (those installed now but not in $work/before). Status of apt-get.
purge_ours() {
  local -a extra=()
  if [ -f "$work/before" ]; then
    mapfile -t extra < <(installed_packages | comm -13 "$work/before" - | grep -vE "^${package}(:.*)?\$" || true)
  fi
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get purge -y -qq "$package" "${extra[@]}" \
    > "$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; return 1; }
}

# Takes back what the installation step did, whatever ended the script.
cleanup() {
  local status=$?
  if [ "$installed_by_us" -eq 1 ]; then
    installed_by_us=0
    echo "== removing $package after a failure"
    purge_ours || { echo "package check: FAILED: could not remove $package" >&2; status=1; }
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT

# ------------------------------------------------------------------ build --
step "building the package in $build"
rm -f "$build/${package}"_*.deb
if ! cmake --build "$build" --target package > "$work/build.log" 2>&1; then
  tail -n 40 "$work/build.log" >&2
  die "building the package failed (cmake --build $build --target package)"
fi
debs=("$build/${package}"_*.deb)
[ -f "${debs[0]}" ] || die "no ${package}_*.deb in $build after the build"
[ ${#debs[@]} -eq 1 ] || die "more than one package in $build: ${debs[*]}"
deb=${debs[0]}
echo "   $(basename "$deb") ($(du -k "$deb" | cut -f1) KiB)"

# --------------------------------------------------------- control fields --
step "control fields"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = "$package" ] || die "Package is '$(field Package)', not $package"
version=$(field Version)
arch=$(field Architecture)
[ "$(basename "$deb")" = "${package}_${version}_${arch}.deb" ] ||
  die "file name $(basename "$deb") is not ${package}_${version}_${arch}.deb"
project_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -z "$project_version" ] || [ "$version" = "$project_version" ] ||
  die "package version $version differs from the project's $project_version"
[ "$(field Maintainer)" = "LUMAVIX developers <dev@lumavix.example>" ] ||
  die "Maintainer is '$(field Maintainer)'"
[ "$(field Section)" = utils ] || die "Section is '$(field Section)', not utils"
[ "$(field Homepage)" = "https://www.lumavix.example/" ] || die "Homepage is '$(field Homepage)'"
depends=$(field Depends)
for dep in libqt6widgets6 udev qt6-translations-l10n; do
  depends_names "$depends" "$dep" || die "Depends does not name $dep: $depends"
done
depends_names "$(field Recommends)" fonts-noto-cjk || die "Recommends does not name fonts-noto-cjk"
[ -n "$(field Description)" ] || die "no Description"
echo "   $package $version $arch; Depends: $depends"

# --------------------------------------------------------------- contents --
step "contents"
dpkg-deb -c "$deb" > "$work/listing"
# "-rwxr-xr-x root/root 1234 2026-01-01 00:00 ./usr/bin/lumavix-fw" -> path
awk '{print $6}' "$work/listing" | sed 's|^\./||; s|/$||' | grep -v '^$' > "$work/paths"
outside=$(grep -vE '^usr(/|$)' "$work/paths" || true)
[ -z "$outside" ] || die "files outside /usr (a wrong install prefix?): $outside"
local_prefix=$(grep -E '^usr/local(/|$)' "$work/paths" || true)
[ -z "$local_prefix" ] || die "files under /usr/local: $local_prefix"
owners=$(awk '$2 != "root/root" {print $6}' "$work/listing")
[ -z "$owners" ] || die "files not owned by root: $owners"
expect_file() {
  grep -qxF "$1" "$work/paths" || die "the package lacks /$1"
}
for p in "${programs[@]}"; do
  expect_file "usr/bin/$p"
  grep -qE "^-rwxr-xr-x .* \./usr/bin/$p\$" "$work/listing" || die "/usr/bin/$p is not mode 0755"
done
for f in "$rule" "$desktop" "$icon" "$metainfo" "$readme" "${readme%/*}/copyright"; do expect_file "$f"; done
for p in "${programs[@]}"; do expect_file "usr/share/man/man1/$p.1.gz"; done

mkdir "$work/root"
dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work/root"
root=$work/root
for p in "${programs[@]}"; do
  if file_out=$(command -v file > /dev/null && file -b "$root/usr/bin/$p"); then
    [[ $file_out != *"not stripped"* ]] || die "/usr/bin/$p is not stripped"
  fi
done

# -------------------------------------------------------------- udev rule --
step "udev rule"
rule_grants_uaccess "$root/$rule" "$vendor_id" ||
  die "/$rule does not tag the camera's nodes (vendor $vendor_id) with TAG+=\"uaccess\""
if bad=$(rule_world_writable_lines "$root/$rule"); then
  die "/$rule gives every user write access: $bad"
fi
cmp -s "$root/$rule" "$here/70-lumavix.rules" || die "/$rule differs from packaging/70-lumavix.rules"

# ---------------------------------------------------------- desktop entry --
step "desktop entry and AppStream metadata"
if command -v desktop-file-validate > /dev/null; then
  desktop-file-validate "$root/$desktop" || die "desktop-file-validate rejects /$desktop"
else
  echo "   SKIPPED: desktop-file-validate is not installed (desktop-file-utils)"
fi
exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$root/$desktop" | head -n1)
[ -x "$root/usr/bin/$exec_program" ] || die "the desktop entry runs '$exec_program', not in /usr/bin"
icon_name=$(sed -n 's/^Icon=//p' "$root/$desktop" | head -n1)
[ "$icon_name" = "$(basename "$icon" .svg)" ] || die "the desktop entry's icon '$icon_name' is not the installed one"

launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$root/$metainfo")
[ "$launchable" = "$(basename "$desktop")" ] ||
  die "the metainfo launches '$launchable', not $(basename "$desktop")"
for p in "${programs[@]}"; do
  grep -qF "<binary>$p</binary>" "$root/$metainfo" || die "the metainfo does not provide the binary $p"
done
grep -qi "<modalias>usb:v${vendor_id}p" "$root/$metainfo" || die "the metainfo names no camera modalias"
if command -v appstreamcli > /dev/null; then
  as_out=$(appstreamcli validate --no-net "$root/$metainfo" 2>&1) || true
  if errors=$(appstream_error_lines "$as_out"); then
    echo "$as_out" >&2
    die "appstreamcli validate reports errors: $errors"
  fi
  grep -E '^[WI]: ' <<< "$as_out" | sed 's/^/   note: /' || true
else
  echo "   SKIPPED: appstreamcli is not installed (appstream)"
fi

# -------------------------------------------------------------- man pages --
step "man pages"
for p in "${programs[@]}"; do
  page=$root/usr/share/man/man1/$p.1.gz
  gzip -t "$page" || die "/usr/share/man/man1/$p.1.gz is not a valid gzip file"
  if command -v groff > /dev/null; then
    warnings=$(gzip -dc "$page" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1) ||
      die "groff fails on the man page of $p: $warnings"
    [ -z "$warnings" ] || die "groff warns about the man page of $p: $warnings"
  fi
done
if command -v groff > /dev/null; then
  if ! missing=$(man_missing_from_help "$root/usr/bin/lumavix-fw" "$root/usr/share/man/man1/lumavix-fw.1.gz"); then
    die "the man page of lumavix-fw does not document: $(tr '\n' ';' <<< "$missing")"
  fi
else
  echo "   SKIPPED: groff is not installed (groff-base); man pages not rendered"
fi

# ------------------------------------------------------- maintainer scripts --
mkdir "$work/control"
dpkg-deb -e "$deb" "$work/control"
for s in postinst postrm; do
  [ -x "$work/control/$s" ] || die "the package's $s is missing or not executable"
  sh -n "$work/control/$s" || die "the package's $s is not valid sh"
done

# ----------------------------------------------------------------- install --
step "installing on this machine"
if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo > /dev/null && sudo -n true 2> /dev/null; then
  sudo=(sudo -n)
else
  echo "SKIPPED: installing the package (neither root nor passwordless sudo)"
  echo "   took $((SECONDS - started)) s"
  echo "package check: OK"
  exit 0
fi

was_installed=0
is_installed && was_installed=1
installed_packages > "$work/before"

# Recommends (a large CJK font) are left out: nothing checked here needs them.
# A package that was there before is reinstalled from this build.
apt_install() {
  local -a reinstall=()
  [ "$was_installed" -eq 0 ] || reinstall=(--reinstall)
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
    "${reinstall[@]}" "$deb" > "$work/install.log" 2>&1
}
[ "$was_installed" -eq 1 ] || installed_by_us=1
if ! apt_install; then
  # The package lists may be missing on a fresh machine.
  "${sudo[@]}" apt-get update -qq > /dev/null 2>&1 || true
  apt_install || { cat "$work/install.log" >&2; die "apt-get install $deb failed"; }
fi
pulled_in=$(installed_packages | comm -13 "$work/before" - | grep -vE "^${package}(:.*)?\$" || true)
[ -z "$pulled_in" ] || echo "   also installed: $(tr '\n' ' ' <<< "$pulled_in")"
[ "$(dpkg-query -W -f='${Version}' "$package")" = "$version" ] || die "dpkg does not list $package $version"

run_dir=$work/run
mkdir "$run_dir"
(
  cd "$run_dir"
  step "running the installed programs"
  [ "$(/usr/bin/lumavix-fw --version)" = "lumavix-fw $version" ] ||
    die "lumavix-fw --version says '$(/usr/bin/lumavix-fw --version)', not 'lumavix-fw $version'"
  v=$(QT_QPA_PLATFORM=offscreen /usr/bin/lumavix-update --version) ||
    die "lumavix-update --version failed"
  [ "$v" = "lumavix-update $version" ] || die "lumavix-update --version says '$v'"
  /usr/bin/lumavix-simcam --help > /dev/null || die "lumavix-simcam --help failed"

  /usr/bin/lumavix-fw make-firmware --version 0105 --product-id 0E51 -o fw.bin > /dev/null ||
    die "lumavix-fw make-firmware failed"
  rc=0
  /usr/bin/lumavix-fw --simulate --sim-state cam.state update --yes > update.log 2>&1 || rc=$?
  [ "$rc" -eq 0 ] || { cat update.log >&2; die "lumavix-fw --simulate update --yes exited $rc, not 0"; }
  # The camera now holds the file's version: a second run has nothing to do.
  rc=0
  /usr/bin/lumavix-fw --simulate --sim-state cam.state update --yes > update2.log 2>&1 || rc=$?
  [ "$rc" -eq 5 ] || { cat update2.log >&2; die "a second update exited $rc, not 5 (up to date)"; }

  # doctor finds the installed rule (the camera itself is usually absent).
  rc=0
  doctor=$(/usr/bin/lumavix-fw --json doctor 2> /dev/null) || rc=$?
  case $rc in 0 | 1 | 3) ;; *) die "lumavix-fw doctor exited $rc" ;; esac
  grep -q '"ruleInstalled":true' <<< "$doctor" || die "lumavix-fw doctor does not find the installed rule: $doctor"

  if command -v man > /dev/null && dpkg-query -W -f='${Status}' man-db 2> /dev/null | grep -q 'ok installed'; then
    page=$(man -w lumavix-fw 2> /dev/null) || die "man -w lumavix-fw finds no page"
    [ "$page" = /usr/share/man/man1/lumavix-fw.1.gz ] || die "man -w lumavix-fw gives $page"
  else
    echo "   SKIPPED: man -w (man-db is not installed)"
  fi
)

if [ "$was_installed" -eq 1 ]; then
  echo "   $package was installed before the check: it stays installed, now at $version"
else
  step "removing $package"
  installed_by_us=0
  purge_ours || die "apt-get purge $package failed"
  ! is_installed || die "$package is still installed"
  [ ! -e /usr/bin/lumavix-fw ] || die "/usr/bin/lumavix-fw is still there after the purge"
  [ ! -e "/$rule" ] || die "/$rule is still there after the purge"
  installed_packages > "$work/end"
  cmp -s "$work/before" "$work/end" ||
    die "the installed packages differ from before the check: $(diff "$work/before" "$work/end" | grep '^[<>]' | tr '\n' ' ')"
fi

echo "   took $((SECONDS - started)) s"
echo "package check: OK"
