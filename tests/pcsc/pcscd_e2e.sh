#!/usr/bin/env bash
# End to end: Debian's pcscd loads libvorkand_ifd.so for two simulated readers
# (a T=0 card and a T=1 card, each on its own pseudo-terminal) and a third one
# behind ser2net over RFC 2217, and real PC/SC clients talk to them: pcsc_scan,
# opensc-tool and our own small C client.
#
# pcscd runs in a private user and mount namespace with a temporary directory
# over /run, so it needs no root, leaves the system's /run alone and coexists
# with a system pcscd; clients find it through PCSCLITE_CSOCK_NAME.
#
# Usage: pcscd_e2e.sh DRIVER_SO SIM_HOST CLIENT [VORKAND_CLI]
# Exit status: 0 passed, 1 failed, 77 skipped (only when the namespace cannot
# be made; the reason is printed).
set -uo pipefail

driver=$1
sim_host=$2
client=$3
cli=${4:-}
started=$(date +%s.%N)
# shellcheck source=private_pcscd.sh
. "$(dirname "$0")/private_pcscd.sh"

say() { echo "pcscd-e2e: $*"; }
die() {
  say "FAILED: $*"
  [ -n "${work:-}" ] && [ -f "$work/pcscd.log" ] && { say "pcscd log (last 40 lines):"; tail -n 40 "$work/pcscd.log"; }
  exit 1
}

for tool in pcscd pcsc_scan opensc-tool unshare ser2net python3; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/deps test installs pcscd, pcsc-tools, opensc, ser2net)"
done

need_namespace "pcscd end-to-end test"
start_work

# One simulator per card; each prints its device path and its ATR. NAME
# (default: the kind) tells two simulators of one kind apart.
start_sim() {
  local kind=$1 name=${2:-$1}
  "$sim_host" "$kind" "$work/sim-$name.silent" >"$work/sim-$name.out" 2>"$work/sim-$name.err" &
  pids+=($!)
  eval "sim_${name}_pid=$!"
  wait_for_lines "$work/sim-$name.out" 2 || die "simulator $name did not start: $(cat "$work/sim-$name.err")"
  eval "dev_$name=\$(sed -n 1p \"$work/sim-$name.out\")"
  eval "atr_$name=\$(sed -n 2p \"$work/sim-$name.out\")"
}
start_sim t0
start_sim t1
# A third reader on the network: ser2net serves `vorkand sim` (the built-in
# T=0 card) over RFC 2217 on loopback, and the driver reaches it by the address
# in DEVICENAME. Without the tool, a third simulator of our own stands in.
if [ -n "$cli" ]; then
  "$cli" sim >"$work/sim-net.out" 2>"$work/sim-net.err" &
  pids+=($!)
  wait_for_lines "$work/sim-net.out" 2 || die "vorkand sim did not start: $(cat "$work/sim-net.err")"
  dev_net=$(sed -n 's/^vorkand sim: a simulated reader on //p' "$work/sim-net.out")
  # shellcheck disable=SC2154  # set by start_sim
  atr_net=$atr_t0
else
  start_sim t0 net
fi
net_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])') ||
  die "no free loopback port"
# shellcheck disable=SC2154  # set by start_sim
cat >"$work/ser2net.yaml" <<YAML
connection: &reader
  accepter: telnet(rfc2217),tcp,127.0.0.1,$net_port
  connector: serialdev,$dev_net,9600e81,local
YAML
ser2net -n -d -c "$work/ser2net.yaml" >"$work/ser2net.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$net_port") 2>/dev/null && break
  sleep 0.05
done
# shellcheck disable=SC2154  # set by start_sim
say "T=0 card on $dev_t0 (ATR $atr_t0), T=1 card on $dev_t1 (ATR $atr_t1)"

mkdir "$work/reader.conf.d" "$work/run"
cat >"$work/reader.conf.d/vorkand" <<CONF
FRIENDLYNAME "vorkand T0"
DEVICENAME   $dev_t0
LIBPATH      $driver
CHANNELID    1

FRIENDLYNAME "vorkand T1"
DEVICENAME   $dev_t1
LIBPATH      $driver
CHANNELID    2

FRIENDLYNAME "vorkand PCSC"
DEVICENAME   pcsc:any
LIBPATH      $driver

FRIENDLYNAME "vorkand NET"
DEVICENAME   rfc2217://127.0.0.1:$net_port
LIBPATH      $driver
CONF

start_private_pcscd -d -a -c "$work/reader.conf.d"

# pcsc_scan lists both readers (given a moment for pcscd to add them).
listed=no
for _ in $(seq 50); do
  timeout 10 pcsc_scan -r >"$work/scan.out" 2>&1
  if grep -q "vorkand T0" "$work/scan.out" && grep -q "vorkand T1" "$work/scan.out" &&
    grep -q "vorkand NET" "$work/scan.out"; then
    listed=yes
    break
  fi
  sleep 0.1
done
[ "$listed" = yes ] || die "pcsc_scan -r does not list the three readers: $(cat "$work/scan.out")"
say "ok   pcsc_scan -r lists the three readers"
# A PC/SC reader as the port is refused, with the reason in pcscd's log (the
# entry comes before the network reader's, so its line is there by now).
grep -q "vorkand PCSC" "$work/scan.out" && die "the pcsc: entry was served"
grep -q "pcsc:any: a pcsc: mapping cannot be served inside pcscd" "$work/pcscd.log" ||
  die "no refusal of the pcsc: entry in pcscd's log"
say "ok   the pcsc: entry is refused in pcscd's log"
# opensc-tool wants a reader's whole name, as pcscd made it ("vorkand T0 00 00").
reader_t0=$(grep -o 'vorkand T0 [0-9A-F]* [0-9A-F]*' "$work/scan.out" | head -n 1)
reader_t1=$(grep -o 'vorkand T1 [0-9A-F]* [0-9A-F]*' "$work/scan.out" | head -n 1)
reader_net=$(grep -o 'vorkand NET [0-9A-F]* [0-9A-F]*' "$work/scan.out" | head -n 1)
[ -n "$reader_net" ] || die "no name for the network reader in: $(cat "$work/scan.out")"

# Our client, on both readers at once: the driver serves two Luns in parallel.
# T=0: the ATR offers T=1 too, but the reader has no PPS: pcscd falls back to
# T=0. SELECT with FCP answers 61xx under T=0; the library fetches the data.
vorkand_text=766F726B616E642073696D756C617465642063617264  # "vorkand simulated card"
common_steps=(
  "00A40000022F00=+9000"
  "00B0000016=${vorkand_text}9000"
  "00A40000022F01=+9000"
  "00B00000FA=#250+9000"
  "00A40000021234=6A82"
  "00CA9F7F00=6D00"
  "@260=!1"
)
"$client" "vorkand T0" T0 "$atr_t0" "${common_steps[@]}" >"$work/client-t0.out" 2>&1 &
client_t0=$!
"$client" "vorkand T1" T1 "$atr_t1" "${common_steps[@]}" >"$work/client-t1.out" 2>&1 &
client_t1=$!
wait "$client_t0"; rc_t0=$?
wait "$client_t1"; rc_t1=$?
sed 's/^/  T=0 client: /' "$work/client-t0.out"
sed 's/^/  T=1 client: /' "$work/client-t1.out"
[ "$rc_t0" -eq 0 ] || die "C client on the T=0 card"
[ "$rc_t1" -eq 0 ] || die "C client on the T=1 card"

# opensc-tool: the ATR, then a SELECT and a READ BINARY.
timeout 20 opensc-tool --reader "$reader_t0" -a >"$work/opensc-a.out" 2>&1 || die "opensc-tool -a: $(cat "$work/opensc-a.out")"
expected_atr=$(echo "$atr_t0" | tr 'A-F' 'a-f' | sed 's/../&:/g; s/:$//')
grep -qi "$expected_atr" "$work/opensc-a.out" || die "opensc-tool -a: expected $expected_atr, got $(cat "$work/opensc-a.out")"
say "ok   opensc-tool -a: $expected_atr"

timeout 20 opensc-tool --reader "$reader_t1" -s 00:A4:00:00:02:2F:00 -s 00:B0:00:00:16 \
  >"$work/opensc-s.out" 2>&1 || die "opensc-tool -s: $(cat "$work/opensc-s.out")"
[ "$(grep -c 'SW1=0x90, SW2=0x00' "$work/opensc-s.out")" -eq 2 ] && grep -q "vorkand simulate" "$work/opensc-s.out" ||
  die "opensc-tool -s: $(cat "$work/opensc-s.out")"
say "ok   opensc-tool -s: SELECT and READ BINARY answered 90 00 with the file's text"

# The network reader: its card's ATR, and an APDU answered through ser2net.
# shellcheck disable=SC2154  # set by start_sim
expected_atr=$(echo "$atr_net" | tr 'A-F' 'a-f' | sed 's/../&:/g; s/:$//')
timeout 20 opensc-tool --reader "$reader_net" -a -s 00:A4:00:00:02:2F:00 -s 00:B0:00:00:16 \
  >"$work/opensc-net.out" 2>&1 || die "opensc-tool on rfc2217://: $(cat "$work/opensc-net.out")"
grep -qi "$expected_atr" "$work/opensc-net.out" && grep -q "vorkand simulate" "$work/opensc-net.out" &&
  [ "$(grep -c 'SW1=0x90, SW2=0x00' "$work/opensc-net.out")" -eq 2 ] ||
  die "opensc-tool on rfc2217://: $(cat "$work/opensc-net.out")"
say "ok   opensc-tool on rfc2217://127.0.0.1:$net_port: ATR $expected_atr, SELECT and READ BINARY answered"

# A reader that falls silent: the APDU fails once the library's silence limit
# (5 s) has passed, not later and not with a made-up status word. The SELECT
# comes first: pcscd may have powered the idle card down, and the power-up
# that follows resets its selection.
"$client" "vorkand T1" T1 "$atr_t1" "00A40000022F00=+9000" "00B0000016=${vorkand_text}9000" \
  "signal:$sim_t1_pid:$work/sim-t1.silent=" "00B0000016=!8" >"$work/client-silent.out" 2>&1
rc=$?
sed 's/^/  silent reader: /' "$work/client-silent.out"
[ "$rc" -eq 0 ] || die "C client on the silent reader"

# A graceful stop closes the channels. pcscd first lets each reader's
# card-presence poll end and powers its card down: on the silent reader each
# of them takes up to the 5 s silence limit, so allow 25 s.
stop_private_pcscd INT 25 || die "pcscd did not stop on SIGINT"
say "passed in $(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"
