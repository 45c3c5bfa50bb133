#!/usr/bin/env bash
# Checks vorkand.exe from Linux: it imports only system DLLs and vorkand.dll
# (its runtimes are linked in; WinSCard is loaded at run time).
# Usage: check_tool_imports.sh OBJDUMP EXE
set -euo pipefail
imports=$("$1" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
status=0
grep -qix 'vorkand.dll' <<<"$imports" || { echo "FAIL $2: does not import vorkand.dll" >&2; status=1; }
for name in $imports; do
  case "${name,,}" in
    vorkand.dll | kernel32.dll | msvcrt.dll | ntdll.dll | advapi32.dll | user32.dll) ;;
    *) echo "FAIL $2: imports $name, which is not a system DLL" >&2; status=1 ;;
  esac
done
[ "$status" -eq 0 ] && echo "ok $2: imports $(echo $imports)"
exit "$status"
