#!/usr/bin/env bash
# The same card session twice, through our own stack both ways: once straight
# to the reader simulator over its pseudo-terminal, once through
# pcsc:<reader> -> a private pcscd -> libvorkand_ifd.so -> a twin of that
# simulator (same card, same challenges). Every status word and every response
# byte must be the same. Runs for a T=0 card and a T=1 card.
#
# Usage: differential.sh DRIVER_SO SIM_HOST VORKAND_TOOL
# Exit status: 0 passed, 1 failed, 77 skipped (only when the namespace cannot
# be made; the reason is printed).
set -uo pipefail
driver=$1
sim_host=$2
tool=$3
# shellcheck source=private_pcscd.sh
. "$(dirname "$0")/private_pcscd.sh"

say() { echo "pcsc-differential: $*"; }
die() {
  say "FAILED: $*"
  [ -n "${work:-}" ] && [ -f "$work/pcscd.log" ] && { say "pcscd log (last 30 lines):"; tail -n 30 "$work/pcscd.log"; }
  exit 1
}
command -v pcscd >/dev/null || die "pcscd is missing (scripts/deps test installs it)"
need_namespace "PC/SC differential test"
start_work

# Starts simulator NAME with a card of KIND (t0, t1) and sets $NAME to its
# device path (not in a subshell: its PID must reach the cleanup).
start_sim() {
  local name=$1 kind=$2
  "$sim_host" "$kind" >"$work/$name.out" 2>"$work/$name.err" &
  pids+=($!)
  wait_for_lines "$work/$name.out" 2 || die "simulator $name did not start: $(cat "$work/$name.err")"
  printf -v "$name" '%s' "$(sed -n 1p "$work/$name.out")"
}
start_sim direct_t0 t0
start_sim direct_t1 t1
start_sim bridged_t0 t0
start_sim bridged_t1 t1

mkdir "$work/conf" "$work/run"
cat >"$work/conf/vorkand" <<CONF
FRIENDLYNAME "vorkand T0"
DEVICENAME   $bridged_t0
LIBPATH      $driver
CHANNELID    1

FRIENDLYNAME "vorkand T1"
DEVICENAME   $bridged_t1
LIBPATH      $driver
CHANNELID    2
CONF
start_private_pcscd -a -c "$work/conf"

# The session: files, a long answer, card errors, the PIN, GET CHALLENGE, a
# 61xx answer fetched with GET RESPONSE, the reset request, and a command the
# card does not know. (The protocol switch is left out: under PC/SC, pcscd
# negotiates the protocol, and this reader offers no PPS.)
session=(
  00A40000022F00 00B0000016 00A40000022F01 00B00000FA 00B0000000 00A40000021234
  00A4000C025000 00A4000C025002 00B000000A 002000000430303030 002000000431323334
  00B000000A 0084000008 00880000080102030405060708 0084000010 0012000000 00B000000A
  00CA9F7F00
)
passed=0
for kind in t0 t1; do
  direct=direct_$kind
  reader="vorkand ${kind^^}"
  # pcscd adds the reader a moment after its socket appears.
  for _ in $(seq 100); do
    VORKAND_COM1="pcsc:$reader" "$tool" --json atr >"$work/probe.out" 2>&1 && break
    sleep 0.05
  done
  VORKAND_COM1=${!direct} "$tool" --json send --power-up "${session[@]}" >"$work/direct.out" 2>&1
  rc_direct=$?
  VORKAND_COM1="pcsc:$reader" "$tool" --json send --power-up "${session[@]}" >"$work/bridged.out" 2>&1
  rc_bridged=$?
  if ! diff -u "$work/direct.out" "$work/bridged.out" >"$work/diff.out" || [ "$rc_direct" != "$rc_bridged" ]; then
    cat "$work/diff.out"
    die "T=${kind#t}: the session differs (exit $rc_direct directly, $rc_bridged through PC/SC)"
  fi
  grep -q '"sw":"9000"' "$work/direct.out" || die "T=${kind#t}: the session did not run: $(cat "$work/direct.out")"
  say "ok   T=${kind#t}: ${#session[@]} APDUs, every status word and byte the same both ways"
  passed=$((passed + 1))
done
[ "$passed" -eq 2 ] && say "passed"
