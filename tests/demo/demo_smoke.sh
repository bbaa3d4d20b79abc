#!/bin/sh
# The programs as a user runs them: ur-sim serving a robot on its own, read by ur-host;
# and ur-host with its embedded simulated robot.
# demo_smoke.sh UR_SIM UR_HOST WORKDIR   (UR_RUN_PREFIX: an emulator to run them with)
set -eu
sim="$1"; host="$2"; work="$3"
run="${UR_RUN_PREFIX:-}"
rm -rf "$work" && mkdir -p "$work"

$run "$sim" --address 127.8.1.1 --version 5.12 --project Smoke >"$work/sim.log" 2>&1 &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true' EXIT

$run "$host" --robot 127.8.1.1@7 --cycles 3 --interval 0.2 --csv "$work/values.csv" \
        --item program_running_seconds_7 --item protective_stops_7 \
        --data-dir "$work/data" --log error >"$work/host.log" 2>&1
grep -qE ',127\.8\.1\.1,program_running_seconds_7,"[0-9]+"$' "$work/values.csv"
grep -qE ',127\.8\.1\.1,protective_stops_7,"[0-9]+"$' "$work/values.csv"
grep -q ',127.8.1.1,base_temperature_7,' "$work/values.csv"
grep -q ',127.8.1.1,identity_7_firmware,"5.12"' "$work/values.csv"
grep -q ',127.8.1.1,identity_7_model,"Smoke"' "$work/values.csv"

kill $sim_pid
wait $sim_pid 2>/dev/null || true
trap - EXIT

# A robot that does not exist: the cycle says so and ur-host exits non-zero.
if $run "$host" --robot 127.8.1.2 --cycles 1 --data-dir "$work/data" --log none >"$work/none.log" 2>&1; then
  echo "ur-host reported success for a robot that does not exist"; exit 1
fi
grep -q 'Could not connect to robot' "$work/none.log"

# The embedded default: a simulated robot with a program and its variables.
$run "$host" --cycles 2 --interval 0.2 --data-dir "$work/data" --log error >"$work/embedded.log" 2>&1
grep -q 'Base motor temperature' "$work/embedded.log"
grep -q '(User variable)' "$work/embedded.log"
echo "demo smoke test passed"
