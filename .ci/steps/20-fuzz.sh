#!/usr/bin/env bash
# Runs every libFuzzer harness for a bounded time under ASan and UBSan, starting
# from the committed seeds (copied, so the seeds stay as committed). Any crash,
# sanitizer report, broken promise, leak or timeout fails the step.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${VORKAND_FUZZ_SECONDS:-60}
scripts/deps fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for harness in exchange card des telnet mapping secret pcsc replay atr serve_frame; do
  mkdir -p "$work/$harness" "$work/findings-$harness"
  cp fuzz/corpus/$harness/* "$work/$harness/"
  echo "-- fuzz_$harness for ${seconds}s"
  if ! build/fuzz/fuzz/fuzz_$harness "$work/$harness" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/findings-$harness/" >"$work/$harness.log" 2>&1; then
    status=1
    tail -n 60 "$work/$harness.log"
    for f in "$work/findings-$harness"/*; do
      [ -e "$f" ] && { echo "finding: $(basename "$f")"; xxd "$f" | head -20; }
    done
  fi
  grep -E '^stat::number_of_executed_units|^Done' "$work/$harness.log" || true
done
exit $status
