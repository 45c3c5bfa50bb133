#!/usr/bin/env bash
# `vorkand watch` against a virtual card we did not write, behind a private
# pcscd (tests/pcsc/vicc/): the card is taken away and put back, and the
# tool's lines (times masked) must match the golden file.
# Usage: watch_e2e.sh TOOL GOLDEN WORK_DIR; exit 0 passed, 1 failed, 77 skipped.
set -uo pipefail
tool=$1
golden=$2
work=$3
here=$(cd "$(dirname "$0")/../pcsc" && pwd)
say() { echo "watch-e2e: $*"; }
die() {
  say "FAILED: $*"
  exit 1
}
# shellcheck source-path=SCRIPTDIR/../pcsc source=private_pcscd.sh
. "$here/private_pcscd.sh"
[ -r /usr/lib/pcsc/drivers/serial/libifdvpcd.so ] || die "vpcd is missing (scripts/deps test: vsmartcard-vpcd)"
need_namespace "watch end-to-end test"
rm -rf "$work" && mkdir -p "$work"

cat >"$work/run.sh" <<'RUN'
out=$2/watch.out
VORKAND_COM2="pcsc:$VICC_READER" timeout 30 "$1" watch --count 2 >"$out" 2>&1 &
watch=$!
until grep -q "card present" "$out"; do sleep 0.05; done
kill -KILL "$VICC_PID"
until grep -q "card removed" "$out"; do sleep 0.05; done
/usr/bin/python3 "$3/vicc/vicc-run" --port "$VICC_PORT" -q >"$2/vicc.log" 2>&1 &
card=$!
wait "$watch"
rc=$?
kill -TERM "$card"
exit "$rc"
RUN
timeout 60 "$here/vicc/private-pcscd-vicc" -q -- sh "$work/run.sh" "$tool" "$work" "$here" \
  >"$work/service.out" 2>&1
rc=$?
sed -E 's/^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}/HH:MM:SS.mmm/' "$work/watch.out" >"$work/watch.txt"
printf -- '--- exit %s\n' "$rc" >>"$work/watch.txt"
if [ -n "${VORKAND_UPDATE_GOLDEN:-}" ]; then cp "$work/watch.txt" "$golden"; fi
diff -u "$golden" "$work/watch.txt" || die "the lines differ from $golden"
rm -rf "$work"
say "passed"
