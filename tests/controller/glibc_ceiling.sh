#!/usr/bin/env bash
# Lists the glibc symbol versions that each program or library requires
# (objdump -T), with the symbols of the highest one, and fails when any is
# above the ceiling: a system whose glibc is at least the ceiling runs them.
#   glibc_ceiling.sh OBJDUMP CEILING FILE...
#   -> kelto_lumabar: GLIBC_2.34 (__libc_start_main dlopen dlerror dlsym)
#      highest: GLIBC_2.34, ceiling GLIBC_2.34
set -euo pipefail
objdump=$1 ceiling=$2
shift 2

# The higher of two dotted versions.
higher() { printf '%s\n%s\n' "$1" "$2" | sort -V | tail -1; }

highest=0
for file in "$@"; do
  table=$("$objdump" -T "$file")
  top=$(grep -o 'GLIBC_[0-9][0-9.]*' <<<"$table" | sed 's/^GLIBC_//' | sort -V | tail -1 || true)
  if [ -z "$top" ]; then
    echo "$(basename "$file"): no glibc symbol versions"
    continue
  fi
  symbols=$(grep -E "GLIBC_${top//./\\.}([^0-9.]|\$)" <<<"$table" | awk '{print $NF}' | sort -u | tr '\n' ' ')
  echo "$(basename "$file"): GLIBC_$top (${symbols% })"
  highest=$(higher "$highest" "$top")
done
echo "highest: GLIBC_$highest, ceiling GLIBC_$ceiling"
if [ "$(higher "$highest" "$ceiling")" != "$ceiling" ]; then
  echo "glibc requirement GLIBC_$highest is above the ceiling GLIBC_$ceiling" >&2
  exit 1
fi
