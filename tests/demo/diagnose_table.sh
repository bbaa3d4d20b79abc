#!/bin/sh
# ur-host --diagnose on each of ur-sim's scenarios: the diagnosis a person would give, the exit
# status (0 only for a streaming controller), and a report within about 5 seconds (10 allowed,
# for a loaded machine).
# diagnose_table.sh UR_SIM UR_HOST WORKDIR VECTORS_DIR   (UR_RUN_PREFIX: an emulator)
set -eu
sim="$1"; host="$2"; work="$3"; vectors="$4"
run="${UR_RUN_PREFIX:-}"
rm -rf "$work" && mkdir -p "$work"
printf 'SSH-2.0-OpenSSH_9.2\r\n' >"$work/banner.txt"
pids=""
trap 'for p in $pids; do kill $p 2>/dev/null || true; done' EXIT

# scenario | address | exit status | phrases the report must hold (separated by ;)
table="normal|127.8.2.1|0|Reachable;Frames as controller messages;Controller: version 5.12;Robot: mode 7 (running);Safety mode: 1 (normal);Hz;16 robot state;8 titled text;Program variables announced: 6;base_temperature;robot_mode;Verdict: STREAMING
refuse|127.8.2.2|1|connection refused;booting;Settings > Security > Services;Verdict: REFUSED
silent|127.8.2.3|1|Reachable;Nothing arrived;not a UR controller;Verdict: NO DATA
unreachable|127.8.2.4|1|no answer within;wrong address;inbound-access;Verdict: NO ANSWER
close-after:3|127.8.2.5|1|Reachable;Controller: version 5.12;closed the connection;Verdict: CLOSED
raw-file:$work/banner.txt|127.8.2.6|1|do not frame as controller messages;SSH-2.0-OpenSSH;Verdict: NOT A CONTROLLER
raw-file:$vectors/eseries-5.8-first-robot-state.bin|127.8.2.7|0|Frames as controller messages;version not announced;Robot: mode 7 (running);speed_slider                 0.97;Verdict: STREAMING"

echo "$table" | while IFS='|' read -r scenario address status phrases; do
  log="$work/sim-$address.log"
  $run "$sim" --address "$address" --scenario "$scenario" >"$log" 2>&1 &
  echo $! >"$work/sim-$address.pid"
  tries=0
  until grep -q '^ur-sim: 1 robot' "$log"; do
    tries=$((tries + 1)); [ $tries -lt 200 ] || { echo "ur-sim did not start: $scenario"; cat "$log"; exit 1; }
    sleep 0.05
  done
done
for f in "$work"/sim-*.pid; do pids="$pids $(cat "$f")"; done

failed=0
echo "$table" | {
  while IFS='|' read -r scenario address status phrases; do
    report="$work/report-$address.txt"
    start=$(date +%s%N)
    set +e
    $run "$host" --diagnose "$address" >"$report" 2>&1
    got=$?
    set -e
    took=$(( ($(date +%s%N) - start) / 1000000 ))
    problem=""
    [ "$got" = "$status" ] || problem="exit status $got, not $status"
    [ -n "$run" ] || [ "$took" -le 10000 ] || problem="$problem; took $took ms"
    IFS=';'
    for phrase in $phrases; do
      grep -qF -- "$phrase" "$report" || problem="$problem; no \"$phrase\""
    done
    unset IFS
    if [ -n "$problem" ]; then
      echo "FAIL $scenario: $problem"; cat "$report"; failed=1
    else
      echo "ok   $scenario ($took ms)"
    fi
  done
  exit $failed
}
