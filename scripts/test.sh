#!/usr/bin/env bash
# Builds and runs every test: once in a normal build, once more under AddressSanitizer and
# UndefinedBehaviorSanitizer, and then each fuzz target for a few seconds (fuzz/README.md).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh"
jobs=$(nproc)
"$here/scripts/build.sh" "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd "$here/build" && ctest -j"$jobs" --output-on-failure --timeout 300)
"$here/scripts/build.sh" "$here/build-asan" -DCMAKE_BUILD_TYPE=Debug -DSHOPVERA_SANITIZE=ON -DSHOPVERA_BENCH=OFF
(cd "$here/build-asan" && ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
   ctest -j"$jobs" --output-on-failure --timeout 600)
CC=clang CXX=clang++ cmake -S "$here" -B "$here/build-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSHOPVERA_FUZZ=ON \
   -DSHOPVERA_BENCH=OFF >/dev/null
ninja -C "$here/build-fuzz" fuzz
(cd "$here/build-fuzz" && ctest -j"$jobs" --output-on-failure --timeout 120)
echo "all tests passed (normal and sanitizer builds, fuzz smoke)"
