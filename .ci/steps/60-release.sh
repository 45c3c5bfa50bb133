#!/usr/bin/env bash
# The release artifacts, end to end. scripts/release builds them; lintian finds
# no error in the five Debian packages; apt-get installs them on this machine,
# and they are used as a user would: `vorkand demo` from /usr/bin, a C host built
# with pkg-config (and one with find_package) running the typical use against
# `vorkand sim`, and a private pcscd started with the installed reader.conf.d
# entry seeing the simulated reader and its card, and the installed
# vorkand-serve, run as its system user, serving the simulator to that host.
# Then the packages are purged:
# none of their files, and no package they pulled in, may be left. The Windows
# zip is unpacked, its file list and checksums checked, and a host links
# against each DLL's import library.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/release

packages=(libvorkand1 libvorkand-dev vorkand-tools vorkand-pcsc vorkand-serve)
# Another install may be running: wait for it, as scripts/deps does.
apt_lock=(-o DPkg::Lock::Timeout=600)
work=$(mktemp -d)
pids=()
# For stop_private_pcscd.
# shellcheck source=tests/pcsc/private_pcscd.sh
. tests/pcsc/private_pcscd.sh
cleanup() {
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  # A failed run still leaves the machine as it was.
  local known=()
  for pkg in "${packages[@]}"; do
    dpkg-query -W "$pkg" >/dev/null 2>&1 && known+=("$pkg")
  done
  if [ ${#known[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get "${apt_lock[@]}" purge -y -qq "${known[@]}" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
say() { echo "release: $*"; }
# The library a program loads, as a real path (/lib is /usr/lib on Debian 12).
library_of() { readlink -f "$(ldd "$1" | awk '$1 == "libvorkand.so.1" { print $3 }')"; }
die() {
  say "FAILED: $*"
  exit 1
}

echo "-- lintian (errors fail; warnings are listed in docs/building.md)"
lintian --allow-root --fail-on error dist/*.deb

echo "-- install"
for pkg in "${packages[@]}"; do
  ! dpkg-query -W "$pkg" >/dev/null 2>&1 ||
    die "dpkg knows $pkg already: this step needs a machine without it"
done
dpkg-query -W -f='${Package}\n' | LC_ALL=C sort >"$work/packages-before"
# Every path the packages bring that is not on the machine yet must be gone
# after the purge.
for deb in dist/*.deb; do
  dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\.||; s|/$||' | grep -v '^$'
done | LC_ALL=C sort -u >"$work/paths"
while read -r path; do
  [ -e "$path" ] || [ -L "$path" ] || echo "$path"
done <"$work/paths" >"$work/new-paths"
DEBIAN_FRONTEND=noninteractive apt-get "${apt_lock[@]}" install -y -qq ./dist/*.deb >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; die "apt-get install"; }
for pkg in "${packages[@]}"; do
  dpkg -L "$pkg" | grep -v '^/\.$' >>"$work/listed"
done
[ -f /etc/reader.conf.d/vorkand ] || die "no /etc/reader.conf.d/vorkand"
say "ok   installed: ${packages[*]} ($(wc -l <"$work/new-paths") new paths)"

echo "-- vorkand demo from /usr/bin"
[ "$(command -v vorkand)" = /usr/bin/vorkand ] || die "vorkand is not /usr/bin/vorkand"
installed_library=$(readlink -f /usr/lib/x86_64-linux-gnu/libvorkand.so.1)
[ "$(library_of /usr/bin/vorkand)" = "$installed_library" ] ||
  die "vorkand does not use the installed library: $(ldd /usr/bin/vorkand)"
(cd / && vorkand demo --seed 1) >"$work/demo.out" 2>&1 || { cat "$work/demo.out"; die "vorkand demo"; }
grep -q '^demo finished: every step succeeded' "$work/demo.out" ||
  die "vorkand demo: $(tail -n 3 "$work/demo.out")"
say "ok   vorkand demo"

echo "-- a C host built with pkg-config, against vorkand sim"
cat >"$work/host.c" <<'EOF'
/* The typical use, as a host program written against the installed header:
 * open COM1, reset the reader, power up the card, select and read a file,
 * authenticate the card with DES, close. Prints the ATR on its last line. */
#include <stdio.h>
#include <string.h>
#include <vorkand.h>

static int failures = 0;

static void expect(const char* step, int32_t got, int32_t want) {
  printf("%s %s: %04X\n", got == want ? "ok  " : "FAIL", step, (unsigned)got);
  if (got != want) ++failures;
}

static int32_t apdu(int32_t handle, const char* step, const uint8_t* command, uint8_t size,
                    uint8_t* data, uint8_t* length) {
  int32_t sw = ICC_tsi_api(handle, size, command, length, data);
  expect(step, sw, 0x9000);
  return sw;
}

int main(void) {
  static const uint8_t select_df[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x00};
  static const uint8_t select_ef[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01};
  static const uint8_t read_binary[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
  static const uint8_t get_challenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
  static const uint8_t card_key[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  static const char text[] = "Hello from the card";
  uint8_t atr[252], atr_length = 0, data[250], length = 0, authenticate[13], expected[8];
  int32_t handle = CT_open("COM1");
  if (handle == 0) {
    puts("FAIL CT_open(COM1)");
    return 1;
  }
  expect("CT_reset", CT_reset(handle), 0x9000);
  expect("ICC_reset", ICC_reset(handle, &atr_length, atr), 0x9000);
  apdu(handle, "SELECT DF 5000", select_df, sizeof select_df, data, &length);
  apdu(handle, "SELECT EF 5001", select_ef, sizeof select_ef, data, &length);
  apdu(handle, "READ BINARY", read_binary, sizeof read_binary, data, &length);
  if (length != strlen(text) || memcmp(data, text, length) != 0) {
    puts("FAIL READ BINARY data");
    ++failures;
  }
  apdu(handle, "GET CHALLENGE", get_challenge, sizeof get_challenge, data, &length);
  memcpy(authenticate, (const uint8_t[]){0x00, 0x88, 0x00, 0x00, 0x08}, 5);
  memcpy(authenticate + 5, data, 8);
  DesEncrypt(expected, data, card_key);
  apdu(handle, "INTERNAL AUTHENTICATE", authenticate, sizeof authenticate, data, &length);
  if (length != 8 || memcmp(data, expected, 8) != 0) {
    puts("FAIL the card's answer is not DesEncrypt(challenge, key)");
    ++failures;
  }
  expect("CT_close", CT_close(handle), 0);
  printf("atr ");
  for (int i = 0; i < atr_length; ++i) printf("%02X", atr[i]);
  printf("\n");
  return failures == 0 && atr_length > 0 ? 0 : 1;
}
EOF
# shellcheck disable=SC2046  # pkg-config's words are separate arguments
cc -std=c11 -Wall -Wextra -Werror "$work/host.c" $(pkg-config --cflags --libs vorkand) -o "$work/host" ||
  die "the host does not build with pkg-config --cflags --libs vorkand"
[ "$(library_of "$work/host")" = "$installed_library" ] || die "the host does not load the installed library"

vorkand sim >"$work/sim.out" 2>"$work/sim.err" &
pids+=($!)
for _ in $(seq 100); do
  grep -q '^export VORKAND_COM1=' "$work/sim.out" && break
  sleep 0.05
done
device=$(sed -n 's/^export VORKAND_COM1=//p' "$work/sim.out")
[ -n "$device" ] || die "vorkand sim did not start: $(cat "$work/sim.err")"
VORKAND_COM1=$device "$work/host" >"$work/host.out" 2>&1 || { cat "$work/host.out"; die "the typical use"; }
atr=$(sed -n 's/^atr //p' "$work/host.out")
say "ok   the typical use through the installed library (ATR $atr)"

# The CMake package: the small host that tests the build tree's install.
if ! { cmake -S tests/link/host -B "$work/cmake-host" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null &&
  cmake --build "$work/cmake-host" >/dev/null && "$work/cmake-host/host" >/dev/null; }; then
  die "a host built with find_package(vorkand)"
fi
say "ok   find_package(vorkand)"

echo "-- vorkand-serve as its system user, serving vorkand sim to the host"
id -nG vorkand-serve | tr ' ' '\n' | grep -qx dialout || die "the user vorkand-serve is not in dialout"
[ -f /lib/systemd/system/vorkand-serve.service ] || die "no /lib/systemd/system/vorkand-serve.service"
[ -f /usr/share/man/man8/vorkand-serve.8.gz ] || die "no vorkand-serve(8)"
[ -f /usr/share/doc/vorkand-serve/examples/vorkand-serve.conf ] || die "no example configuration"
if command -v systemd-analyze >/dev/null; then
  # Without man-db the Documentation= line cannot be checked: that alone is fine.
  systemd-analyze verify /lib/systemd/system/vorkand-serve.service >"$work/verify.out" 2>&1 || true
  if grep -v "man vorkand-serve(8)" "$work/verify.out" | grep -q .; then
    die "systemd-analyze verify: $(cat "$work/verify.out")"
  fi
fi
# The simulator's pseudo-terminal stands for a serial device: root:dialout 660.
chgrp dialout "$device" && chmod 660 "$device"
setpriv --reuid=vorkand-serve --regid=vorkand-serve --init-groups --no-new-privs \
  /usr/sbin/vorkand-serve --listen 127.0.0.1:0 --reader "$device" 2>"$work/serve.log" &
pids+=($!)
for _ in $(seq 100); do
  grep -q 'listening on' "$work/serve.log" && break
  sleep 0.05
done
serve_port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\) .*/\1/p' "$work/serve.log")
[ -n "$serve_port" ] || die "vorkand-serve did not start: $(cat "$work/serve.log")"
VORKAND_COM1=tcp://127.0.0.1:$serve_port "$work/host" >"$work/served.out" 2>&1 ||
  { cat "$work/served.out" "$work/serve.log"; die "the typical use through vorkand-serve"; }
say "ok   vorkand-serve as vorkand-serve (in dialout) serves the simulator: $(grep -c '^ok' "$work/served.out") steps"

echo "-- a private pcscd with the installed reader.conf.d entry"
mkdir "$work/run"
# shellcheck disable=SC2016  # the inner shell expands $1
VORKAND_COM1=$device unshare -r -m \
  sh -c 'mount --bind "$1/run" /run && exec pcscd -f -a -c /etc/reader.conf.d/vorkand' \
  sh "$work" >"$work/pcscd.log" 2>&1 &
pcscd_pid=$!
pids+=("$pcscd_pid")
export PCSCLITE_CSOCK_NAME=$work/run/pcscd/pcscd.comm
for _ in $(seq 250); do
  [ -S "$PCSCLITE_CSOCK_NAME" ] && break
  kill -0 "$pcscd_pid" 2>/dev/null || die "pcscd exited at start-up: $(tail -n 20 "$work/pcscd.log")"
  sleep 0.02
done
listed=no
for _ in $(seq 50); do
  timeout 10 pcsc_scan -r >"$work/scan.out" 2>&1 || true
  grep -q 'vorkand serial reader' "$work/scan.out" && listed=yes && break
  sleep 0.1
done
[ "$listed" = yes ] ||
  die "pcscd does not list the reader: $(cat "$work/scan.out"; tail -n 20 "$work/pcscd.log")"
# The driver finds the card by powering it up, at most every 2 s.
reader=$(grep -o 'vorkand serial reader [0-9A-F]* [0-9A-F]*' "$work/scan.out" | head -n 1)
expected_atr=$(echo "$atr" | tr 'A-F' 'a-f' | sed 's/../&:/g; s/:$//')
for _ in $(seq 30); do
  timeout 20 opensc-tool --reader "$reader" --atr >"$work/opensc.out" 2>&1 && break
  sleep 0.2
done
grep -qi "$expected_atr" "$work/opensc.out" ||
  die "opensc-tool: want ATR $expected_atr, got $(cat "$work/opensc.out")"
say "ok   pcscd lists 'vorkand serial reader'; its card answers with ATR $expected_atr"
stop_private_pcscd TERM 10 || die "pcscd did not stop: $(tail -n 20 "$work/pcscd.log")"
for pid in "${pids[@]}"; do
  kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
done
pids=()
unset PCSCLITE_CSOCK_NAME

echo "-- purge"
DEBIAN_FRONTEND=noninteractive apt-get "${apt_lock[@]}" purge -y -qq "${packages[@]}" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; die "apt-get purge"; }
for pkg in "${packages[@]}"; do
  ! dpkg-query -W "$pkg" >/dev/null 2>&1 || die "dpkg still knows $pkg: $(dpkg -l "$pkg" | tail -n 1)"
done
dpkg-query -W -f='${Package}\n' | LC_ALL=C sort >"$work/packages-after"
# Packages apt pulled in for ours go too, so the machine has the same set.
mapfile -t pulled < <(LC_ALL=C comm -13 "$work/packages-before" "$work/packages-after")
if [ ${#pulled[@]} -gt 0 ]; then
  say "purging what the packages pulled in: ${pulled[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get "${apt_lock[@]}" purge -y -qq "${pulled[@]}" >/dev/null
  dpkg-query -W -f='${Package}\n' | LC_ALL=C sort >"$work/packages-after"
fi
cmp -s "$work/packages-before" "$work/packages-after" ||
  die "installed packages differ: $(diff "$work/packages-before" "$work/packages-after")"
left=()
while read -r path; do
  [ -e "$path" ] || [ -L "$path" ] || continue
  # What dpkg -L listed is gone, unless it was on the machine before.
  grep -qxF "$path" "$work/new-paths" && left+=("$path")
done < <(cat "$work/listed" "$work/new-paths" | LC_ALL=C sort -u)
[ ${#left[@]} -eq 0 ] || die "left behind: ${left[*]}"
[ ! -e /etc/reader.conf.d/vorkand ] || die "the conffile /etc/reader.conf.d/vorkand is left"
shopt -s nullglob
dpkg_files=(/var/lib/dpkg/info/libvorkand* /var/lib/dpkg/info/vorkand-*)
shopt -u nullglob
[ ${#dpkg_files[@]} -eq 0 ] || die "dpkg keeps ${dpkg_files[*]}"
say "ok   purged: nothing of the packages is left"

echo "-- Windows zip"
zip_file=$(ls dist/vorkand-*-windows.zip)
name=$(basename "$zip_file" .zip)
(cd dist && sha256sum --quiet -c SHA256SUMS) || die "dist/SHA256SUMS"
unzip -q "$zip_file" -d "$work/zip"
(cd "$work/zip" && find . -type f | sed 's|^\./||' | LC_ALL=C sort) >"$work/zip-files"
cat >"$work/zip-expected" <<EOF
$name/LICENSE.txt
$name/README-Windows.txt
$name/SHA256SUMS
$name/include/vorkand.h
$name/win32/libvorkand.dll.a
$name/win32/vorkand.dll
$name/win32/vorkand.exe
$name/win32/vorkand32.def
$name/win64/libvorkand.dll.a
$name/win64/vorkand.def
$name/win64/vorkand.dll
$name/win64/vorkand.exe
EOF
diff "$work/zip-expected" "$work/zip-files" || die "the zip's file list"
(cd "$work/zip/$name" && sha256sum --quiet -c SHA256SUMS) || die "the zip's SHA256SUMS"
[ "$(wc -l <"$work/zip/$name/SHA256SUMS")" -eq 11 ] || die "the zip's SHA256SUMS does not list its 11 files"
cmp -s LICENSE "$work/zip/$name/LICENSE.txt" || die "the zip's LICENSE.txt is not LICENSE"
grep -q '^# Windows DLL' "$work/zip/$name/README-Windows.txt" || die "README-Windows.txt"
i686-w64-mingw32-objdump -f "$work/zip/$name/win32/vorkand.dll" | grep -q 'pei-i386' ||
  die "win32/vorkand.dll is no 32-bit DLL"
x86_64-w64-mingw32-objdump -f "$work/zip/$name/win64/vorkand.dll" | grep -q 'pei-x86-64' ||
  die "win64/vorkand.dll is no 64-bit DLL"
# Each vorkand.exe is of its DLL's bitness and needs only it and system DLLs.
for arch in win32:i686 win64:x86_64; do
  exe=$work/zip/$name/${arch%%:*}/vorkand.exe
  bash tests/win/check_tool_imports.sh "${arch#*:}-w64-mingw32-objdump" "$exe" >/dev/null ||
    die "${arch%%:*}/vorkand.exe imports more than vorkand.dll and system DLLs"
done
i686-w64-mingw32-objdump -f "$work/zip/$name/win32/vorkand.exe" | grep -q 'pei-i386' ||
  die "win32/vorkand.exe is no 32-bit program"
# A Windows host compiled against the zip's header links with each import
# library (on 32-bit that resolves the header's __stdcall names).
for arch in win32:i686 win64:x86_64; do
  dir=${arch%%:*}
  "${arch#*:}-w64-mingw32-gcc" -I"$work/zip/$name/include" tests/win/import_link_host.c \
    "$work/zip/$name/$dir/libvorkand.dll.a" -o "$work/host-$dir.exe" ||
    die "a host linked with $dir/libvorkand.dll.a"
done
say "ok   $name.zip: 12 files, checksums match, both import libraries link"
