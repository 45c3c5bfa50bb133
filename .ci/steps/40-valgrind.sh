#!/usr/bin/env bash
# Valgrind memcheck over the unit test programs of the default build that run on
# fakes or need no port at all (label `portable`): no leaks, no invalid reads or
# writes, no use of uninitialised values. The pseudo-terminal programs are left
# to the sanitizer builds: under valgrind their real-time waits only get slower.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/deps core test valgrind
cmake --preset default >/dev/null
cmake --build --preset default
mapfile -t tests < <(ctest --preset default -N -L portable | sed -n 's/^ *Test *#[0-9]*: *//p')
[ ${#tests[@]} -gt 0 ] || { echo "valgrind: no portable test programs found" >&2; exit 1; }
status=0
for name in "${tests[@]}"; do
  exe=$(find build/default/tests -type f -executable -name "$name" | head -n 1)
  [ -n "$exe" ] || { echo "valgrind: no program for test $name" >&2; status=1; continue; }
  echo "-- memcheck $name"
  start=$SECONDS
  # nouserintercepts: a test program that counts allocations defines its own
  # operator new over malloc; valgrind must see it as the program's code, or
  # it reports every matching free as mismatched.
  if ! valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect \
      --errors-for-leak-kinds=definite,indirect --track-origins=yes \
      --soname-synonyms=somalloc=nouserintercepts \
      "$exe" --gtest_brief=1 >"build/default/valgrind-$name.log" 2>&1; then
    status=1
    tail -n 80 "build/default/valgrind-$name.log"
  fi
  echo "   $((SECONDS - start)) s"
done
exit $status
