#!/bin/sh
# ur-host --diagnose on each of ur-sim's scenarios and on addresses the plug-in cannot use: the
# diagnosis a person would give, the exit status (0 only for a streaming controller the plug-in
# reads), and a report within about 5 seconds (10 allowed, for a loaded machine).
# diagnose_table.sh UR_SIM UR_HOST WORKDIR VECTORS_DIR   (UR_RUN_PREFIX: an emulator)
set -eu
sim="$1"; host="$2"; work="$3"; vectors="$4"
run="${UR_RUN_PREFIX:-}"
rm -rf "$work" && mkdir -p "$work"
printf 'SSH-2.0-OpenSSH_9.2\r\n' >"$work/banner.txt"
printf '\000\000\000\005\020' >"$work/empty-state.bin"         # a robot state, no sub-package
printf '\000\000\000\010\143abc' >"$work/unknown-type.bin"     # a whole message of type 99
pids=""
trap 'for p in $pids; do kill $p 2>/dev/null || true; done' EXIT

# scenario (none: no peer) | ur-sim options | address diagnosed (ur-sim serves it without
# blanks) | exit status | phrases the report must hold (separated by ;)
table="normal||127.8.2.1|0|Reachable;Frames as messages;Controller: version 5.12;Generation: CB3 3.5 and later or e-Series (robot mode data of 47 bytes);0 robot mode: 47;3 master board: 75;Robot: mode 7 (running);Safety mode: 1 (normal);largest gap;16 robot state;8 titled text;Program variables announced: 6;base_temperature;robot_mode;Verdict: STREAMING
refuse||127.8.2.2|1|connection refused;booting;Settings > Security > Services;Verdict: REFUSED
silent||127.8.2.3|1|Reachable;Nothing arrived;not a UR controller;Verdict: NO DATA
unreachable||127.8.2.4|1|no answer within;wrong address;inbound-access;Verdict: NO ANSWER
close-after:3||127.8.2.5|1|Reachable;Controller: version 5.12;closed the connection;Verdict: CLOSED
raw-file:$work/banner.txt||127.8.2.6|1|do not frame as controller messages;SSH-2.0-OpenSSH;Verdict: NOT A CONTROLLER
raw-file:$vectors/eseries-5.8-first-robot-state.bin||127.8.2.7|0|Frames as messages;version not announced;Robot: mode 7 (running);speed_slider                 0.97;Verdict: STREAMING
raw-file:$vectors/cb2-1.x-first-robot-state-1254.bin||127.27.2.1|0|Generation: CB2 software 1.x (robot mode data of 29 bytes);0 robot mode: 29;3 master board: 64;6: 469;Robot: mode 0 (running, as CB2 numbers its modes);Safety mode: none on a CB2;Verdict: STREAMING
normal|--rate 1.4|127.27.2.2|1|Robot states came up to;Verdict: GAPS
stop-after:15||127.27.2.3|1|Robot states stopped;Verdict: STALLED
raw-file:$work/empty-state.bin||127.27.2.4|1|Robot state sub-packages (type: bytes): none;Value groups decoded: none;Items with a value: 0 of;Verdict: NO VALUES
raw-file:$work/unknown-type.bin||127.27.2.5|1|0 of them controller messages;Message types: 99: ;Verdict: NO CONTROLLER MESSAGES
trickle:1000000|--rate 1|127.27.2.6|1|0 whole messages;the last one unfinished: ;of 1000000 bytes;Verdict: NO CONTROLLER MESSAGES
normal|| 127.27.2.7 |0|Diagnosis of 127.27.2.7 port;Blanks around the address removed;Verdict: STREAMING
none||::1|1|::1: only IPv4 addresses and host names are supported, not IPv6 addresses;Verdict: UNSUPPORTED ADDRESS"

echo "$table" | while IFS='|' read -r scenario options address status phrases; do
  [ "$scenario" != none ] || continue
  address=$(echo $address)
  log="$work/sim-$address.log"
  $run "$sim" --address "$address" --scenario "$scenario" $options >"$log" 2>&1 &
  echo $! >"$work/sim-$address.pid"
  tries=0
  until grep -q '^ur-sim: 1 robot' "$log" 2>/dev/null; do
    tries=$((tries + 1)); [ $tries -lt 200 ] || { echo "ur-sim did not start: $scenario"; cat "$log"; exit 1; }
    sleep 0.05
  done
done
for f in "$work"/sim-*.pid; do pids="$pids $(cat "$f")"; done

failed=0
echo "$table" | {
  while IFS='|' read -r scenario options address status phrases; do
    report="$work/report-$(echo $address).txt"
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
