#!/usr/bin/env bash
# Checks a built vorkand.dll from Linux: its export table holds exactly the
# eleven functions under their plain names (no _name@N decoration) with the
# ordinals 1..11 in their fixed order, and it imports only system DLLs (the C
# and C++ runtimes are linked in).
# Usage: check_exports.sh OBJDUMP DLL
set -euo pipefail
objdump=$1
dll=$2

expected="1 CT_close
2 CT_open
3 CT_reset
4 DesDecrypt
5 DesEncrypt
6 ICC_command
7 ICC_commandS
8 ICC_reset
9 ICC_resetS
10 ICC_tsi_api
11 ICC_tsi_apiS"

dump=$("$objdump" -p "$dll")

# "[Ordinal/Name Pointer] Table" lists "[ n] name" with n = ordinal - base.
actual=$(awk '
  /^Ordinal Base/ { base = $3 }
  /\[Ordinal\/Name Pointer\] Table/ { in_table = 1; next }
  in_table && /^[[:space:]]*$/ { in_table = 0 }
  in_table {
    line = $0
    sub(/^[[:space:]]*\[[[:space:]]*/, "", line)
    split(line, part, /\][[:space:]]*/)
    print part[1] + base, part[2]
  }' <<<"$dump" | sort -n)

status=0
if [ "$actual" != "$expected" ]; then
  echo "FAIL $dll: exports differ from the expected table" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  status=1
fi

if grep -q '@' <<<"$actual"; then
  echo "FAIL $dll: decorated export names" >&2
  status=1
fi

# Any import outside the system's own DLLs (libstdc++-6.dll, libgcc_s_*.dll,
# libwinpthread-1.dll, ...) would have to ship with the DLL.
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | sort -u)
if [ -z "$imports" ]; then
  echo "FAIL $dll: no import table found" >&2
  status=1
fi
for name in $imports; do
  case "${name,,}" in
    kernel32.dll | msvcrt.dll | ntdll.dll | advapi32.dll | user32.dll) ;;
    *)
      echo "FAIL $dll: imports $name, which is not a system DLL" >&2
      status=1
      ;;
  esac
done

[ "$status" -eq 0 ] && echo "ok $dll: 11 exports, ordinals 1..11, imports: $(echo $imports)"
exit "$status"
