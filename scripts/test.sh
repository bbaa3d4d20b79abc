#!/usr/bin/env bash
# Sets up what is missing and runs every test: the normal build, the AddressSanitizer +
# UndefinedBehaviorSanitizer build, the ThreadSanitizer build over the suites where the
# plug-in's threads meet, the end-to-end suites under valgrind's memcheck, a minute of
# fuzzing, and the 64-bit ARM build under qemu.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" valgrind
jobs=$(( $(nproc) * 4 ))   # most end-to-end tests wait on the network, not the CPU
source "$root/scripts/tsan-suites.sh"

echo "== Test code against product code"
"$root/scripts/test-ratio.sh"

# Every option the suites depend on is stated, so a cache left by another script (the demo
# builds without tests) cannot switch them off; ctest fails when it finds no tests.
echo "== Release build and tests"
"$root/scripts/build.sh" "$root/build" -DUR_BUILD_TESTS=ON -DUR_BUILD_BENCHMARKS=ON -DUR_SANITIZE=OFF
(cd "$root/build" && ctest -j "$jobs" --output-on-failure --no-tests=error)

echo "== Sanitizer build and tests"
"$root/scripts/build.sh" "$root/build-asan" -DUR_BUILD_TESTS=ON -DUR_SANITIZE=ON -DUR_BUILD_BENCHMARKS=OFF
(cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest -j "$jobs" --output-on-failure --no-tests=error)

echo "== ThreadSanitizer build and the suites where the plug-in's threads meet"
"$root/scripts/build.sh" "$root/build-tsan" -DUR_BUILD_TESTS=ON -DUR_SANITIZE=thread -DUR_BUILD_BENCHMARKS=OFF
(cd "$root/build-tsan" && TSAN_OPTIONS="$ur_tsan_options" \
   ctest -j "$jobs" --output-on-failure --no-tests=error -R "$ur_tsan_suites")

echo "== End-to-end suites under memcheck"
"$root/scripts/valgrind-e2e.sh" "$root/build"

echo "== Fuzzing"
"$root/scripts/run-fuzz.sh" "${UR_FUZZ_SECONDS:-60}"

if [ "${UR_SKIP_AARCH64:-0}" != 1 ]; then
  echo "== 64-bit ARM build and tests under qemu"
  "$root/scripts/cross-aarch64.sh"
fi
