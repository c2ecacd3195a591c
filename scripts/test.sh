#!/usr/bin/env bash
# Builds and runs every test: the Windows build with its test programs, a release build whose
# tests include the Windows suites and end-to-end cases under Wine (label wine), the Debian
# package, a minute of fuzzing the channel file reader (clang's libFuzzer), and the tests again
# under ThreadSanitizer (the suites labelled threaded) and under AddressSanitizer with
# UndefinedBehaviorSanitizer (the sanitizer runs leave out the cases labelled long). The fault
# matrix (tests/matrix) runs in the last build only, where a sanitizer report of the relay under
# its load fails a scenario. Ends with ctest's summary line.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
build() {  # dir, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" >/dev/null
}

scripts/check-windows.sh tests

build build -DKORVENET_WINDOWS_BUILD="$PWD/build-win" -DKORVENET_MATRIX=OFF
(cd build && ctest --output-on-failure -j "$jobs" --timeout 900)
scripts/test-package.sh build  # the Debian package: lintian, install, -check, unit rating, removal

# The reader of the channel file held against the rules for a minute, from the corpus kept in the
# repository; what the run adds to it stays in a temporary directory, a failing input in
# build-fuzz/.
CXX=clang++ cmake -S tests/fuzz -B build-fuzz >/dev/null
cmake --build build-fuzz -j "$jobs" >/dev/null
fuzz_corpus=$(mktemp -d)
fuzz_files=$(mktemp -d -p "$([ -w /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")")
trap 'rm -rf "$fuzz_corpus" "$fuzz_files"' EXIT
if ! KORVENET_FUZZ_DIR=$fuzz_files build-fuzz/channel_file_fuzz -max_total_time="${KORVENET_FUZZ_SECONDS:-60}" -print_final_stats=1 \
  -dict=tests/fuzz/channel_file.dict -artifact_prefix=build-fuzz/ "$fuzz_corpus" tests/fuzz/corpus \
  >build-fuzz/fuzz.log 2>&1; then
  tail -n 40 build-fuzz/fuzz.log
  exit 1
fi
grep -E '^(Done|stat::(number_of_executed_units|peak_rss_mb|new_units_added))' build-fuzz/fuzz.log

build build-tsan -DKORVENET_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVENET_MATRIX=OFF
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --output-on-failure -j "$jobs" --timeout 600 -L "${KORVENET_TSAN_LABEL:-threaded}" -LE long)

build build-asan -DKORVENET_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVENET_MATRIX=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
  ctest --output-on-failure -j "$jobs" --timeout 600 -LE long)
