#!/usr/bin/env bash
# Sets up what is missing, builds, and runs the demo host. Without --robot it reads a
# simulated robot that it serves itself on loopback. Arguments go to ur-host.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DUR_BUILD_TESTS=OFF -DUR_BUILD_BENCHMARKS=OFF
exec "$root/build/demo-host/ur-host" "$@"
