#!/usr/bin/env bash
# The PC/SC driver's dynamic symbol table holds the ten IFDH entry points and
# nothing else. Usage: check_exports.sh path/to/libvorkand_ifd.so
set -euo pipefail
expected="IFDHCloseChannel
IFDHControl
IFDHCreateChannel
IFDHCreateChannelByName
IFDHGetCapabilities
IFDHICCPresence
IFDHPowerICC
IFDHSetCapabilities
IFDHSetProtocolParameters
IFDHTransmitToICC"
# Defined symbols, without the version node the linker adds for the script.
actual=$(nm -D --defined-only "$1" | awk '$3 != "" {print $3}' | grep -v '^VORKAND' | sort -u || true)
if [ "$actual" != "$expected" ]; then
  echo "libvorkand_ifd.so exports differ from the IFDH entry points:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "exports: the ten IFDH entry points only"
