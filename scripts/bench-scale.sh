#!/usr/bin/env bash
# The scale table: one worker reading simulated robots at 10 Hz, live ones alone and next to
# robots that never answer (dead) and robots that never send (silent), and the worker's cost
# with only dead robots. Each row runs in a process of its own; ur-sim serves every robot.
# bench-scale.sh [seconds per row, default 20]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DUR_BUILD_BENCHMARKS=ON -DUR_SANITIZE=OFF >/dev/null
seconds="${1:-20}"
bench="$root/build/bench/bench_scale"
# A host runs with the usual soft limit of 1024 open files, and so does the benchmark; the
# ur-sim processes it starts raise their own.
ulimit -Sn 1024
"$bench" --live 10 --seconds "$seconds" --header
for n in 100 1000 2000; do "$bench" --live "$n" --seconds "$seconds"; done
"$bench" --live 100 --dead 20 --seconds "$seconds"
"$bench" --live 1000 --dead 100 --silent 20 --seconds "$seconds"
"$bench" --live 0 --dead 100 --seconds "$seconds"

