#!/usr/bin/env bash
# The recipes of docs/serving.md, end to end on this machine, 127.0.0.1
# standing for every machine's name, each answer compared with the same
# commands on the reader itself:
#   desk   a host reaches a PC/SC reader through vorkand-serve over tls://: the
#          third-party virtual card behind a private pcscd (tests/pcsc/vicc),
#          the typical use and an answer longer than one reply holds;
#   pcscd  a PC/SC client on another private pcscd whose reader.conf entry
#          names DEVICENAME tls://127.0.0.1:P (our driver) reads the ATR of
#          `vorkand sim` behind vorkand-serve and runs APDUs;
#   rack   simulators served by one vorkand-serve --config, one test host each.
#
# Usage: recipes.sh VORKAND VORKAND_SERVE DRIVER_SO
# Exit status: 0 passed, 1 failed, 77 skipped (no user and mount namespace).
set -uo pipefail
vorkand=$1
serve=$2
driver=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../pcsc/private_pcscd.sh
. "$here/../pcsc/private_pcscd.sh"

say() { echo "recipes: $*"; }
die() {
  say "FAILED: $*"
  for log in "$work"/*.log; do
    [ -f "$log" ] && { say "$(basename "$log") (last 15 lines):"; tail -n 15 "$log"; }
  done
  exit 1
}
for tool in pcscd opensc-tool unshare openssl; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/deps test installs it)"
done
need_namespace "serving recipes"
start_work

# The certificates of docs/serving.md, the reader machine's for 127.0.0.1.
(
  cd "$work" || exit 1
  new_key() { echo "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout $1"; }
  # shellcheck disable=SC2046
  openssl req -x509 $(new_key ca.key) -out ca.crt -subj '/CN=our readers CA' -days 2 &&
    openssl req $(new_key desk.key) -out desk.csr -subj '/CN=127.0.0.1' &&
    openssl x509 -req -in desk.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
      -extfile <(echo subjectAltName=IP:127.0.0.1) -out desk.crt &&
    openssl req $(new_key host7.key) -out host7.csr -subj '/CN=host7' &&
    openssl x509 -req -in host7.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -out host7.crt &&
    chmod 600 desk.key host7.key
) >"$work/openssl.out" 2>&1 || die "openssl: $(cat "$work/openssl.out")"
tls_files=(--cert "$work/desk.crt" --key "$work/desk.key" --client-ca "$work/ca.crt")
export VORKAND_TLS_CA=$work/ca.crt VORKAND_TLS_CERT=$work/host7.crt VORKAND_TLS_KEY=$work/host7.key

# Starts vorkand-serve ARGS... as NAME; sets port_NAME
# (of its first listener) and pids; its log is $work/serve-NAME.log.
start_serve() {
  local name=$1
  shift
  "$serve" "$@" 2>"$work/serve-$name.log" &
  pids+=($!)
  for _ in $(seq 250); do
    grep -q 'listening on' "$work/serve-$name.log" && break
    kill -0 "$!" 2>/dev/null || die "vorkand-serve $name exited: $(cat "$work/serve-$name.log")"
    sleep 0.02
  done
  eval "port_$name=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\) .*/\1/p' "$work/serve-$name.log" | head -n 1)"
}

# desk: in the virtual card's environment, the same commands on pcsc: directly
# and through vorkand-serve; READ BINARY answers 256 bytes, more than one reply holds.
long=$(python3 -c 'print(bytes(range(256)).hex() + bytes(range(44)).hex())')
cat >"$work/desk.sh" <<'DESK'
set -u
. "$work/functions.sh"
# The server started here is this shell's own: it ends with it.
trap '[ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2>/dev/null' EXIT
start_serve desk --listen 127.0.0.1:0 --reader "pcsc:$VICC_READER" "${tls_files[@]}"
# shellcheck disable=SC2154
served=tls://127.0.0.1:$port_desk
steps=(send --power-up 00A4000C023F00 00A40000022F0100 00B0000005 0020000004 002000000431323334 00FF000000)
long=(send --power-up 00A4000C022F01 00B0000000)
part=(send --power-up --no-get-response 00A4000C022F01 00B0000000 00C0000006)
for run in steps long part; do
  eval "words=(\"\${$run[@]}\")"
  VORKAND_COM1="pcsc:$VICC_READER" "$vorkand" "${words[@]}" >"$work/desk-$run.direct" 2>&1
  VORKAND_COM1=$served "$vorkand" "${words[@]}" >"$work/desk-$run.served" 2>&1
  cmp -s "$work/desk-$run.direct" "$work/desk-$run.served" ||
    { echo "desk $run: served differs from direct:"; diff "$work/desk-$run.direct" "$work/desk-$run.served"; exit 1; }
done
grep -q "00F0  F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF" "$work/desk-long.served" ||
  { echo "desk: the long answer is not whole:"; cat "$work/desk-long.served"; exit 1; }
grep -q "SW    61 06" "$work/desk-part.served" ||
  { echo "desk: no 61 xx after the first 250 bytes:"; cat "$work/desk-part.served"; exit 1; }
exit 0
DESK
{
  declare -f start_serve die say
  declare -p serve vorkand tls_files work
  echo 'pids=()'
} >"$work/functions.sh"
VICC_LONG=$long work=$work bash -c '"$1" -q --ef "2F01:$VICC_LONG" -- bash "$2"' sh \
  "$here/../pcsc/vicc/private-pcscd-vicc" "$work/desk.sh" >"$work/desk.out" 2>&1 ||
  die "desk: $(cat "$work/desk.out")"
say "ok   desk: a PC/SC reader over tls:// answers as directly, a 256-byte answer whole and in 61 xx parts"

# pcscd: vorkand sim behind vorkand-serve, and a private pcscd whose entry
# names it by address; the driver finds the TLS files in pcscd's environment.
"$vorkand" sim >"$work/sim-pcscd.out" 2>"$work/sim-pcscd.log" &
pids+=($!)
wait_for_lines "$work/sim-pcscd.out" 2 || die "vorkand sim did not start"
sim=$(sed -n 's/^export VORKAND_COM1=//p' "$work/sim-pcscd.out")
start_serve pcscd --listen 127.0.0.1:0 --reader "$sim" "${tls_files[@]}"
mkdir "$work/reader.conf.d" "$work/run"
# shellcheck disable=SC2154
cat >"$work/reader.conf.d/desk" <<CONF
FRIENDLYNAME "desk reader"
DEVICENAME   tls://127.0.0.1:$port_pcscd
LIBPATH      $driver
CONF
start_private_pcscd -a -c "$work/reader.conf.d"
for _ in $(seq 50); do
  timeout 20 opensc-tool --reader 'desk reader 00 00' -a -s 00:A4:00:00:02:2F:00 -s 00:B0:00:00:16 \
    >"$work/opensc.out" 2>&1 && break
  sleep 0.1
done
grep -qi "3b:95:11:80:01:76:6f:72:6b:61:64" "$work/opensc.out" && grep -q "vorkand simulate" "$work/opensc.out" &&
  [ "$(grep -c 'SW1=0x90, SW2=0x00' "$work/opensc.out")" -eq 2 ] ||
  die "pcscd: opensc-tool through DEVICENAME tls://: $(cat "$work/opensc.out")"
grep -q "connected; reader $sim opened" "$work/serve-pcscd.log" || die "pcscd: no connection in the server's log"
say "ok   pcscd: opensc-tool reads the ATR and runs APDUs through DEVICENAME tls://127.0.0.1:$port_pcscd"
stop_private_pcscd TERM 10 || die "pcscd did not stop"

# rack: two simulators, one vorkand-serve --config, one test host on each at once.
conf=$work/rack.conf
: >"$conf"
for n in 1 2; do
  "$vorkand" sim --line-time >"$work/sim-$n.out" 2>"$work/sim-$n.log" &
  pids+=($!)
  wait_for_lines "$work/sim-$n.out" 2 || die "vorkand sim $n did not start"
  printf '[sim%s]\nlisten = 127.0.0.1:0\nreader = %s\ncert = %s\nkey = %s\nclient-ca = %s\n\n' "$n" \
    "$(sed -n 's/^export VORKAND_COM1=//p' "$work/sim-$n.out")" "$work/desk.crt" "$work/desk.key" "$work/ca.crt" >>"$conf"
done
start_serve rack --config "$conf"
for _ in $(seq 100); do
  [ "$(grep -c 'listening on' "$work/serve-rack.log")" -eq 2 ] && break
  sleep 0.02
done
steps=(send --power-up 00A4000C025000 00A4000C025001 00B0000000)
for n in 1 2; do
  port=$(sed -n "s/.*\[sim$n\] listening on 127\.0\.0\.1:\([0-9]*\) .*/\1/p" "$work/serve-rack.log")
  [ -n "$port" ] || die "rack: no listener for sim$n: $(cat "$work/serve-rack.log")"
  VORKAND_COM1=tls://127.0.0.1:$port "$vorkand" "${steps[@]}" >"$work/rack-$n.served" 2>&1 &
  hosts+=($!)
done
for n in 1 2; do
  wait "${hosts[$((n - 1))]}" || die "rack: host $n: $(cat "$work/rack-$n.served")"
  VORKAND_COM1=$(sed -n 's/^export VORKAND_COM1=//p' "$work/sim-$n.out") "$vorkand" "${steps[@]}" \
    >"$work/rack-$n.direct" 2>&1
  cmp -s "$work/rack-$n.direct" "$work/rack-$n.served" || die "rack: sim$n served differs from direct"
done
say "ok   rack: two simulators behind one vorkand-serve --config, each host's answers as directly"
say "passed"
