#!/usr/bin/env bash
# Sets up what is missing, builds, and runs the demo host. Without --robot it reads a
# simulated robot that it serves itself on loopback. Arguments go to ur-host.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
# A build directory of its own: the test builds need options that the demo does without.
"$root/scripts/build.sh" "$root/build-demo" -DUR_BUILD_TESTS=OFF -DUR_BUILD_BENCHMARKS=OFF
exec "$root/build-demo/demo-host/ur-host" "$@"
