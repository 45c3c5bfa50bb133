#!/usr/bin/env bash
# The short fault campaign and the short soak, under ASan + UBSan (the asan
# build the suite's run left behind): every fault of the relay on every kind
# of network port (about 2 minutes), then 2 minutes of mixed use over a
# pseudo-terminal, rfc2217://, tls:// and the virtual card behind a private
# pcscd. A broken promise, a sanitizer report, a leak or descriptors and
# threads that grow fail the step. Under ASan RSS says little about our own
# memory: freed blocks wait in a quarantine (kept small here), and the
# sanitizer's allocator fills a region for each size class as new paths run
# (the campaign's later faults, TLS errors): about 30 MiB over the short
# campaign. RSS is allowed 64 MiB here; the runs without ASan in
# docs/reliability.md hold it to a few MiB, and LeakSanitizer checks leaks.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/deps core test
cmake --preset asan >/dev/null
cmake --build --preset asan --target reliability_campaign reliability_soak
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=8
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
bin=build/asan/tests/reliability
echo "-- fault campaign"
"$bin/reliability_campaign" --cell "${VORKAND_CAMPAIGN_CELL:-8}" --min-sessions 2 --rss-slack 65536
echo "-- soak, ${VORKAND_SOAK_SECONDS:-120} s"
tests/pcsc/vicc/private-pcscd-vicc -q --ef 2F01:48656c6c6f -- \
  "$bin/reliability_soak" --seconds "${VORKAND_SOAK_SECONDS:-120}" --sample 10 --rss-slack 65536
