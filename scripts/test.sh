#!/usr/bin/env bash
# Builds and runs every test: the Windows build with its test programs, a release build whose
# tests include the Windows suites and end-to-end cases under Wine (label wine), the Debian
# package, and the tests again under ThreadSanitizer (the suites labelled threaded) and under
# AddressSanitizer with UndefinedBehaviorSanitizer (the sanitizer runs leave out the cases
# labelled long). Ends with ctest's summary line.
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

build build -DKORVENET_WINDOWS_BUILD="$PWD/build-win"
(cd build && ctest --output-on-failure -j "$jobs" --timeout 900)
scripts/test-package.sh build  # the Debian package: lintian, install, -check, unit rating, removal

build build-tsan -DKORVENET_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --output-on-failure -j "$jobs" --timeout 600 -L "${KORVENET_TSAN_LABEL:-threaded}" -LE long)

build build-asan -DKORVENET_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
  ctest --output-on-failure -j "$jobs" --timeout 600 -LE long)
