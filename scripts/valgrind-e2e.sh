#!/usr/bin/env bash
# Runs the end-to-end suites under valgrind's memcheck, each test case in a process of its
# own as CTest runs them: no invalid access, no leak of our own.
# valgrind-e2e.sh [build-dir]   (default: build; it is built if needed)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
"$root/scripts/setup.sh" valgrind
"$root/scripts/build.sh" "$build" -DUR_BUILD_TESTS=ON -DUR_SANITIZE=OFF
logs="$build/valgrind"
rm -rf "$logs" && mkdir -p "$logs"

cases=()
for suite in foundation/foundation_plugin_test worker/worker_e2e_test readcycle/readcycle_e2e_test \
             variables/variables_e2e_test; do
  exe="$build/tests/$suite"
  while read -r name; do cases+=("$exe $name"); done < <(
    "$exe" --gtest_list_tests | awk '/^[^ ]/ {suite=$1} /^  / {print suite $1}')
done

run_case() {
  local exe="$1" name="$2" supp="$3" logs="$4"
  local log="$logs/$name.log"
  if UR_UNDER_MEMCHECK=1 valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
       --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
       --suppressions="$supp" --num-callers=30 --log-file="$log" \
       "$exe" --gtest_filter="$name" >"$logs/$name.out" 2>&1; then
    echo "ok    $name"
  else
    echo "FAIL  $name (see $log and $logs/$name.out)"
    return 1
  fi
}
export -f run_case

echo "== ${#cases[@]} end-to-end test cases under memcheck"
status=0
printf '%s\n' "${cases[@]}" |
  xargs -P "$(( $(nproc) * 2 ))" -I{} bash -c 'run_case $1 $2 "$3" "$4"' _ {} \
    "$root/scripts/valgrind.supp" "$logs" || status=1
grep -h 'ERROR SUMMARY' "$logs"/*.log | sort | uniq -c
exit $status
