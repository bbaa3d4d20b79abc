#!/usr/bin/env bash
# stress-tests.sh [ROUNDS]: runs the Release suite, the AddressSanitizer + UndefinedBehaviorSanitizer
# suite and the ThreadSanitizer suite ROUNDS times each (default 10), as scripts/test.sh runs
# them, while busy processes keep every core of the machine taken, and prints the failures of
# each test. The suites must pass the first time on a loaded machine; this shows whether they
# do. Not part of CI: after the builds, about ROUNDS x 2.5 minutes on a 2-core machine.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
rounds="${1:-10}"
jobs=$(( $(nproc) * 4 ))
source "$root/scripts/tsan-suites.sh"

"$root/scripts/build.sh" "$root/build" -DUR_BUILD_TESTS=ON -DUR_BUILD_BENCHMARKS=ON -DUR_SANITIZE=OFF
"$root/scripts/build.sh" "$root/build-asan" -DUR_BUILD_TESTS=ON -DUR_SANITIZE=ON -DUR_BUILD_BENCHMARKS=OFF
"$root/scripts/build.sh" "$root/build-tsan" -DUR_BUILD_TESTS=ON -DUR_SANITIZE=thread -DUR_BUILD_BENCHMARKS=OFF

# The load: one busy process per core, at the tests' own priority.
loaders=()
if command -v stress-ng >/dev/null; then
  stress-ng --cpu "$(nproc)" --quiet &
  loaders+=($!)
else
  for _ in $(seq "$(nproc)"); do
    (while :; do :; done) &
    loaders+=($!)
  done
fi
trap 'kill "${loaders[@]}" 2>/dev/null || true' EXIT

# Each run in a network namespace of its own where possible, so that it never meets another
# run of the tests on the same loopback addresses.
isolated=()
if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null && command -v ip >/dev/null; then
  isolated=(unshare -n sh -c 'ip link set lo up && exec "$@"' suite)
fi

logs="$root/build/stress"
rm -rf "$logs" && mkdir -p "$logs"
failures="$logs/failures.txt"
: >"$failures"
run() { # variant round ctest-arguments...
  local variant="$1" round="$2"; shift 2
  local log="$logs/$variant-$round.log"
  if (cd "$root/$variant" &&
        "${isolated[@]}" ctest -j "$jobs" --no-tests=error --timeout 300 "$@" >"$log" 2>&1); then
    echo "$variant round $round: passed"
  else
    echo "$variant round $round: FAILED (see $log)"
    # "  12 - Suite.Test (Failed)", or the whole run when no test was reported failing.
    sed -n 's/^[[:space:]]*[0-9]\+ - \([^ ]*\) (.*/\1/p' "$log" | sed "s/^/$variant /" >>"$failures"
    grep -q ' - .* (' "$log" || echo "$variant (the run itself)" >>"$failures"
  fi
}
for round in $(seq "$rounds"); do
  run build "$round"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run build-asan "$round"
  TSAN_OPTIONS="$ur_tsan_options" run build-tsan "$round" -R "$ur_tsan_suites"
done

echo "== Failures per test in $rounds rounds of each suite, with every core busy"
if [ -s "$failures" ]; then
  sort "$failures" | uniq -c | sort -rn
  exit 1
fi
echo "none"
