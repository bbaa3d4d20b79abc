#!/usr/bin/env bash
# The scale table: one worker reading N simulated robots at 10 Hz, then 100 live robots with
# M robots that never answer. Each row runs in a process of its own.
# bench-scale.sh [seconds per row, default 20]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" >/dev/null
seconds="${1:-20}"
bench="$root/build/bench/bench_scale"
"$bench" --live 10 --seconds "$seconds" --header
for n in 100 500 1000; do "$bench" --live "$n" --seconds "$seconds"; done
for m in 5 20; do "$bench" --live 100 --dead "$m" --seconds "$seconds"; done
