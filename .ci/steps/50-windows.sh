#!/usr/bin/env bash
# The Windows DLLs: both cross builds, their export tables, the 64-bit tests
# under Wine (the portable unit tests, the DLL loaded by a Windows host, and the
# typical use on COM1 against a scripted reader on a pseudo-terminal).
# The 32-bit build is only built here; 55-win32.sh runs its tests.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/deps windows

prefix="$PWD/build/win64/wineprefix"
stop_wineserver() {
  if [ -d "$prefix" ]; then WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true; fi
}
trap stop_wineserver EXIT

# The native vorkand tool from the default build (run earlier by CI) brings
# the simulator for one more end-to-end run under Wine.
sim_tool="$PWD/build/default/tools/cli/vorkand"
sim_option=()
if [ -x "$sim_tool" ]; then
  sim_option=(-DVORKAND_SIM_TOOL="$sim_tool")
else
  echo "-- note: no $sim_tool; the end-to-end run against the simulator is left out"
fi

echo "-- win32: configure and build"
cmake --preset win32 >/dev/null
cmake --build --preset win32
echo "-- win64: configure and build"
cmake --preset win64 "${sim_option[@]}" >/dev/null
cmake --build --preset win64

echo "-- win64: export table, then every test under Wine"
ctest --preset win64
