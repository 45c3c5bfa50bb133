#!/usr/bin/env bash
# End to end with a virtual card we did not write: a private pcscd with the
# vpcd reader driver and the vicc card (tests/pcsc/vicc/), and a host program
# built against the installed library that reaches the card through
# VORKAND_COM1=pcsc:<reader>. The host runs the typical use, then takes the
# card away mid-session.
#
# Usage: vicc_e2e.sh BUILD_DIR HOST_SOURCE WORK_DIR [C_AND_LINKER_FLAGS]
# (the flags of the build, so that a sanitizer build's host links its runtime)
# Exit status: 0 passed, 1 failed, 77 skipped (only when the namespace cannot
# be made; the reason is printed).
set -uo pipefail
build=$1
host_source=$2
work=$3
flags=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=private_pcscd.sh
. "$here/private_pcscd.sh"

say() { echo "vicc-e2e: $*"; }
die() {
  say "FAILED: $*"
  exit 1
}

for need in pcscd opensc-tool unshare pkg-config cc; do
  command -v "$need" >/dev/null || die "$need is missing (scripts/deps test installs it)"
done
[ -r /usr/lib/pcsc/drivers/serial/libifdvpcd.so ] || die "vpcd is missing (scripts/deps test: vsmartcard-vpcd)"
/usr/bin/python3 -c 'import smartcard' 2>/dev/null || die "pyscard is missing (scripts/deps test: python3-pyscard)"
need_namespace "virtual card end-to-end test"

# The installed package, and a host built against it with pkg-config.
rm -rf "$work" && mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 || die "install: $(cat "$work/install.log")"
pc=$(find "$work/prefix" -name vorkand.pc | head -n 1)
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$pc")
# shellcheck disable=SC2046  # pkg-config's flags are words
# shellcheck disable=SC2086  # the build's flags are words
cc $flags -Wall -Wextra -Werror "$host_source" $(pkg-config --cflags --libs vorkand) \
  -Wl,-rpath,"$(pkg-config --variable=libdir vorkand)" -o "$work/host" || die "the host does not build"

# Without pcscd a pcsc: port does not open.
PCSCLITE_CSOCK_NAME=$work/no-pcscd.comm VORKAND_COM1=pcsc: timeout 10 "$work/host" --no-service ||
  die "CT_open of a pcsc: port without pcscd did not return 0"
say "ok   no pcscd: CT_open returns 0"

# In the card's environment: PC/SC's view of the ATR, then the host.
cat >"$work/run.sh" <<'RUN'
atr=$(timeout 20 opensc-tool --reader "$VICC_READER" -a 2>/dev/null | tail -n 1 | tr -d ':' | tr 'a-f' 'A-F')
[ -n "$atr" ] || { echo "opensc-tool could not read the ATR"; exit 1; }
VORKAND_COM1="pcsc:$VICC_READER" VORKAND_COM2="pcsc:no such reader" timeout 60 "$1" "$atr" "$VICC_PID"
RUN
"$here/vicc/private-pcscd-vicc" -q --ef 2F01:48656c6c6f2c20776f726c64 -- sh "$work/run.sh" "$work/host" \
  >"$work/host.out" 2>"$work/service.err"
rc=$?
sed 's/^/  /' "$work/host.out"
[ "$rc" -eq 0 ] || die "the host (exit $rc); $(grep -v '^export\|^#\|Killed' "$work/service.err")"
rm -rf "$work"
say "passed"
