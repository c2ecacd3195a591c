#!/usr/bin/env bash
# Builds and runs every test: the Windows build (run once under Wine), a release build, and the
# tests again under ThreadSanitizer (the suites labelled threaded) and under AddressSanitizer with
# UndefinedBehaviorSanitizer. Ends with ctest's summary line.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
build() {  # dir, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" >/dev/null
}

scripts/check-windows.sh
python3 scripts/wine_smoke.py build-win/tcp_port_serv.exe

build build
(cd build && ctest --output-on-failure -j "$jobs" --timeout 600)
scripts/test-package.sh build  # the Debian package: lintian, install, -check, unit rating, removal

build build-tsan -DKORVENET_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --output-on-failure -j "$jobs" --timeout 600 -L "${KORVENET_TSAN_LABEL:-threaded}")

build build-asan -DKORVENET_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
  ctest --output-on-failure -j "$jobs" --timeout 600)
