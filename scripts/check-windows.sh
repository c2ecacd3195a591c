#!/usr/bin/env bash
# Compiles every portable room with the i686 MinGW-w64 g++ (posix threads), compile only, so
# that nothing Linux-only leaks outside the platform seam's Linux folder; then cross-builds the
# Windows executable (release) into build-win/ with cmake/mingw-i686.cmake and checks that it
# imports only what Windows XP SP3 offers (scripts/windows-imports.txt).
#
#   scripts/check-windows.sh         # the executable
#   scripts/check-windows.sh tests   # also the test programs that run under Wine
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=i686-w64-mingw32-g++-posix
if ! git ls-files -z --cached --others --exclude-standard -- 'base/*.cpp' 'net/*.cpp' 'serial/*.cpp' \
       'service/*.cpp' 'relay/*.cpp' 'platform/win/*.cpp' |
     xargs -0 -r -n 1 -P "$(nproc)" sh -c \
       '[ ! -f "$1" ] || "$0" -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I. "$1" ||
        { echo "windows compile failed: $1" >&2; exit 1; }' "$cxx"; then
  exit 1
fi
echo "windows compile check: all portable sources compile"

# The test programs once asked for stay in build-win; a fresh build-win has none.
tests=()
if [ "${1:-}" = tests ]; then
  tests=(-DKORVENET_TESTS=ON)
elif [ ! -f build-win/CMakeCache.txt ]; then
  tests=(-DKORVENET_TESTS=OFF)
fi
if ! { cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-i686.cmake" \
         -DCMAKE_BUILD_TYPE=Release "${tests[@]}" >/dev/null &&
       cmake --build build-win -j "$(nproc)" >/dev/null; }; then
  echo "windows build failed" >&2
  exit 1
fi
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
