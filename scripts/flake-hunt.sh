#!/usr/bin/env bash
# Runs a build's tests again and again, at twice the cores by default and optionally beside a
# busy loop on every core, and prints each test that failed with the number of runs it failed
# in. A test that fails here fails on somebody's loaded machine.
#
#   scripts/flake-hunt.sh [-n RUNS] [-j JOBS] [--hog] [--env NAME=VALUE]... BUILD_DIR [ctest arguments...]
#
#   scripts/flake-hunt.sh -n 10 -j 4 build
#   scripts/flake-hunt.sh -n 3 --hog --env TSAN_OPTIONS=halt_on_error=1 build-tsan -L threaded -LE long
#
# Exits 0 when no run failed.
set -euo pipefail

runs=10
jobs=$(($(nproc) * 2))
hog=0
while [ $# -gt 0 ]; do
  case $1 in
    -n) runs=$2; shift 2 ;;
    -j) jobs=$2; shift 2 ;;
    --hog) hog=1; shift ;;
    --env) export "${2?}"; shift 2 ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) break ;;
  esac
done
build=${1:?"usage: $0 [-n RUNS] [-j JOBS] [--hog] [--env NAME=VALUE]... BUILD_DIR [ctest arguments...]"}
shift

hogs=()
stop_hogs() { [ ${#hogs[@]} -eq 0 ] || kill "${hogs[@]}" 2>/dev/null || true; }
trap stop_hogs EXIT
if [ "$hog" = 1 ]; then
  for _ in $(seq "$(nproc)"); do
    (while :; do :; done) &
    hogs+=($!)
  done
fi

declare -A failures=()
failed_runs=0
for run in $(seq "$runs"); do
  log=$build/Testing/Temporary/LastTestsFailed.log
  rm -f "$log"
  started=$SECONDS
  mkdir -p "$build/Testing"
  if (cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 900 "$@" >"Testing/flake-run-$run.log" 2>&1); then
    echo "run $run: passed ($((SECONDS - started)) s)"
  else
    failed_runs=$((failed_runs + 1))
    echo "run $run: failed ($((SECONDS - started)) s), log in $build/Testing/flake-run-$run.log"
    if [ -f "$log" ]; then
      while IFS=: read -r _ name; do
        failures[$name]=$((${failures[$name]:-0} + 1))
      done <"$log"
    fi
  fi
done

echo "$failed_runs of $runs runs failed"
for name in "${!failures[@]}"; do
  echo "  ${failures[$name]}  $name"
done | sort -rn
[ "$failed_runs" -eq 0 ]
