#!/usr/bin/env bash
# Cross-builds the Windows executable (release) into build-win/ with the i686 MinGW-w64 g++
# (posix threads, cmake/mingw-i686.cmake). The build compiles every file of the portable rooms
# and of platform/win/, so nothing Linux-only may leak outside the seam's Linux folder; it goes
# on past a failing file and names every one that failed. Then it checks that the executable
# imports only what Windows XP SP3 offers (scripts/windows-imports.txt).
#
#   scripts/check-windows.sh         # the executable
#   scripts/check-windows.sh tests   # also the test programs that run under Wine
set -euo pipefail
cd "$(dirname "$0")/.."

# The test programs once asked for stay in build-win; a fresh build-win has none.
tests=()
if [ "${1:-}" = tests ]; then
  tests=(-DKORVENET_TESTS=ON)
elif [ ! -f build-win/CMakeCache.txt ]; then
  tests=(-DKORVENET_TESTS=OFF)
fi
log=build-win/build.log
mkdir -p build-win
if ! { cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-i686.cmake" \
         -DCMAKE_BUILD_TYPE=Release "${tests[@]}" >"$log" 2>&1 &&
       cmake --build build-win -j "$(nproc)" -- -k >>"$log" 2>&1; }; then
  grep -E "error|Error" "$log" | head -60 >&2
  sed -nE 's|.*\*\*\* \[[^]]*build.make:[0-9]+: ([^]]+)\.obj\].*|windows compile failed: \1|p' "$log" |
    sed -E 's|CMakeFiles/[^/]+\.dir/||' >&2
  echo "windows build failed (all of it in $log)" >&2
  exit 1
fi
echo "windows compile check: all portable sources compile"
echo "windows executable: $PWD/build-win/tcp_port_serv.exe"

# The import table: "DLL function" lines, compared with the list of what XP SP3 offers.
imports=$(i686-w64-mingw32-objdump -p build-win/tcp_port_serv.exe |
          awk '/DLL Name:/ { dll = toupper($3); next }
               dll && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll, $3 }' | sort -u)
allowed=$(grep -v '^#' scripts/windows-imports.txt | sort -u)
unexpected=$(comm -23 <(echo "$imports") <(echo "$allowed"))
if [ -n "$unexpected" ]; then
  echo "the windows executable imports what scripts/windows-imports.txt does not list" \
       "(check that Windows XP SP3 has it before adding it):" >&2
  echo "$unexpected" >&2
  exit 1
fi
echo "windows imports: $(echo "$imports" | wc -l) functions, all in scripts/windows-imports.txt"
