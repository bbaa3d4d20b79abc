#!/usr/bin/env bash
# The soak run: the plug-in inside a host process for an hour, next to robots of every kind
# (streaming, by host name, flapping, changing programs, titled texts, silent, never
# answering), and whether memory, descriptors and threads stay where they were.
# soak.sh [minutes, default 60]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DUR_BUILD_BENCHMARKS=ON -DUR_SANITIZE=OFF >/dev/null
minutes="${1:-60}"
# The descriptor limit a host process usually runs with.
ulimit -Sn 1024
"$root/build/bench/bench_soak" --minutes "$minutes"
