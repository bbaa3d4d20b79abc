#!/usr/bin/env bash
# Test code against the rest of the C++ code, in physical lines of .cpp and .h files. Test
# code is everything under tests/ and fuzz/; the rest is the product and its tools (simulator,
# encoder, stand-in host, demo host, benchmarks). Fails above 0.35.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
count() { find "$@" -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 cat | wc -l; }
tests=$(count tests fuzz)
other=$(find . -path ./tests -prune -o -path ./fuzz -prune -o -path './build*' -prune \
          -o -path ./.git -prune -o -type f \( -name '*.cpp' -o -name '*.h' \) -print0 |
        xargs -0 cat | wc -l)
ratio=$(awk -v t="$tests" -v o="$other" 'BEGIN { printf "%.3f", t / o }')
echo "test code: $tests lines; other code: $other lines; ratio: $ratio (limit 0.35)"
awk -v r="$ratio" 'BEGIN { exit !(r <= 0.35) }' || { echo "test code is above 0.35 of the other code"; exit 1; }
