#!/usr/bin/env bash
# check-imports.sh OBJDUMP PROGRAM.exe: fails when the program needs a DLL
# that Windows does not bring itself (the C++ runtime, libgcc, winpthread,
# zlib...), that is, when it would not run alone out of the zip.
set -euo pipefail
objdump=$1
exe=$2
system='^(kernel32|user32|gdi32|comctl32|comdlg32|advapi32|shell32|ole32|oleaut32|msvcrt|setupapi|hid|winmm|ws2_32|bcrypt|ucrtbase|api-ms-win-.*)\.dll$'
bad=0
while read -r dll; do
  if ! printf '%s\n' "$dll" | tr '[:upper:]' '[:lower:]' | grep -Eq "$system"; then
    echo "error: $exe needs $dll, which is not part of Windows" >&2
    bad=1
  fi
done < <("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ "$bad" = 0 ] && echo "$exe needs only system DLLs"
exit "$bad"
