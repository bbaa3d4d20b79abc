#!/usr/bin/env bash
# Builds the decoder fuzz target with clang in build-fuzz, writes the seed corpus (encoder
# streams and the real controller captures) and fuzzes for the given number of seconds
# (default 60). Exits non-zero on any finding; reproducers land in build-fuzz/fuzz/findings.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-fuzz"
vectors="${UR_VECTORS_DIR:-$root/../shared/vectors}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
    -DUR_BUILD_FUZZ=ON -DUR_BUILD_TESTS=OFF -DUR_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target fuzz_decoder fuzz_seeds -j2

seeds="$build/fuzz/seeds"
corpus="$build/fuzz/corpus"
findings="$build/fuzz/findings"
rm -rf "$seeds"
mkdir -p "$seeds" "$corpus" "$findings"
if [ -d "$vectors" ]; then
    "$build/fuzz/fuzz_seeds" "$seeds" "$vectors"
else
    echo "no captures at $vectors; seeding from the encoder only" >&2
    "$build/fuzz/fuzz_seeds" "$seeds"
fi

# New inputs go to corpus/ (kept between runs); seeds/ is read only. The length cap holds
# the 5-byte prefix and every capture back to back (4271 bytes): every seed and any real
# message fit, and inputs stay short and quick. The title limit needs longer streams (257
# titled messages); the decoder tests cover it.
"$build/fuzz/fuzz_decoder" "$corpus" "$seeds" \
    -max_total_time="$seconds" -max_len=4276 -timeout=20 -rss_limit_mb=2048 \
    -artifact_prefix="$findings/" -print_final_stats=1
