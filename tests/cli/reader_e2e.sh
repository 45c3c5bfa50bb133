#!/usr/bin/env bash
# The tool on a PC/SC reader the way a newcomer meets it, with a virtual card
# we did not write behind a private pcscd (tests/pcsc/vicc/): `-r 0 send`
# powers the card up unasked, a card another process holds is named in use
# by another application, and `watch` sees the service stop, waits, and sees
# it and its readers come back.
# Usage: reader_e2e.sh TOOL; exit 0 passed, 1 failed, 77 skipped.
set -uo pipefail
tool=$1
here=$(cd "$(dirname "$0")/../pcsc" && pwd)
say() { echo "reader-e2e: $*"; }
die() {
  say "FAILED: $*"
  exit 1
}
# shellcheck source-path=SCRIPTDIR/../pcsc source=private_pcscd.sh
. "$here/private_pcscd.sh"
driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
[ -r "$driver" ] || die "vpcd is missing (scripts/deps test: vsmartcard-vpcd)"
/usr/bin/python3 -c 'import smartcard' 2>/dev/null || die "pyscard is missing (scripts/deps test: python3-pyscard)"
need_namespace "reader end-to-end test"
start_work

# vpcd takes PORT and PORT+1 on loopback's side of the card.
port=$(/usr/bin/python3 -c 'import socket
for p in range(42000, 43000, 2):
    try:
        a = socket.socket(); a.bind(("127.0.0.1", p)); b = socket.socket(); b.bind(("127.0.0.1", p + 1))
        a.close(); b.close(); print(p); break
    except OSError: pass')
mkdir -p "$work/conf" "$work/run"
printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:%s\nLIBPATH %s\nCHANNELID %s\n' \
  "$port" "$driver" "$port" >"$work/conf/vpcd"
card_in() {
  /usr/bin/python3 "$here/vicc/vicc-run" --port "$port" -q >>"$work/vicc.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 200); do
    "$tool" readers 2>/dev/null | grep -q '^0: pcsc:Virtual PCD 00 00  card present' && return
    sleep 0.05
  done
  die "the card did not come: $(cat "$work/vicc.log")"
}
start_private_pcscd -a -c "$work/conf"
card_in

# No --power-up: the reader refuses the first APDU, the tool powers the card
# up and sends it again.
"$tool" -r 0 send 00A40000023F0000 >"$work/send.out" 2>&1 || die "send: $(cat "$work/send.out")"
if ! grep -q '^ATR   3B 95 13 81 01 80 73 FF 01 00 0B$' "$work/send.out" ||
  ! grep -q '^data  6F 0A 83 02 3F 00 8A 01 05 82 01 38' "$work/send.out"; then
  die "send without --power-up: $(cat "$work/send.out")"
fi
say "ok   -r 0 send powers the card up unasked"

# Another process holds the card: in use, exit 1, said once on stderr.
/usr/bin/python3 -c 'import sys, time
from smartcard.System import readers
c = readers()[0].createConnection(); c.connect(); print("held", flush=True); time.sleep(20)' \
  >"$work/holder.out" 2>&1 &
holder=$!
pids+=("$holder")
for _ in $(seq 100); do grep -q held "$work/holder.out" && break; sleep 0.05; done
"$tool" -r 0 atr >"$work/held.out" 2>"$work/held.err"
rc=$?
kill -TERM "$holder" 2>/dev/null
if [ "$rc" -ne 1 ] || [ -s "$work/held.out" ] || [ "$(wc -l <"$work/held.err")" -ne 1 ] ||
  ! grep -q 'power-up failed on COM1 (pcsc:Virtual PCD 00 00): the card is in use by another application' \
    "$work/held.err"; then
  die "a held card (exit $rc): $(cat "$work/held.out" "$work/held.err")"
fi
say "ok   a held card is in use by another application"

# watch across a stop and a start of pcscd: stopped with its reason, the
# readers removed, then started with its readers and the card again.
timeout 40 "$tool" watch --count 7 >"$work/watch.out" 2>&1 &
watch=$!
for _ in $(seq 200); do grep -q "card present" "$work/watch.out" && break; sleep 0.05; done
stop_private_pcscd TERM 10 || die "pcscd did not stop"
for _ in $(seq 200); do grep -q "service stopped" "$work/watch.out" && break; sleep 0.05; done
start_private_pcscd -a -c "$work/conf"
card_in
wait "$watch"
rc=$?
events=$(sed -E 's/^[0-9:.]+  //' "$work/watch.out")
for line in "PC/SC  service stopped: " "pcsc:Virtual PCD 00 00  reader removed" \
  "pcsc:Virtual PCD 00 01  reader removed" "PC/SC  service started" \
  "pcsc:Virtual PCD 00 00  reader added" "pcsc:Virtual PCD 00 01  reader added" \
  "pcsc:Virtual PCD 00 00  card inserted  ATR 3B 95 13 81 01 80 73 FF 01 00 0B"; do
  grep -qF "$line" <<<"$events" || die "watch (exit $rc) lacks '$line':
$events"
done
[ "$rc" -eq 0 ] || die "watch exit $rc: $events"
say "ok   watch sees pcscd stop and come back"
say "passed"
