#!/usr/bin/env bash
# Builds the tsan preset and runs the tests that use threads (label `threads`)
# under ThreadSanitizer; any data race or lock-order report fails the step.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/deps core test
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan -L threads --no-tests=error
