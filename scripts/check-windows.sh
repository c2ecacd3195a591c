#!/usr/bin/env bash
# Compiles every portable room with the i686 MinGW-w64 g++ (posix threads), compile only, so
# that nothing Linux-only leaks outside the platform seam's Linux folder; then cross-builds the
# Windows executable (release, no tests) into build-win/ with cmake/mingw-i686.cmake.
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=i686-w64-mingw32-g++-posix
failed=0
for f in $(git ls-files --cached --others --exclude-standard -- 'base/*.cpp' 'net/*.cpp' 'serial/*.cpp' \
             'service/*.cpp' 'relay/*.cpp' 'platform/win/*.cpp'); do
  [ -f "$f" ] || continue
  if ! "$cxx" -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I. -DKORVENET_VERSION=\"0\" "$f"; then
    echo "windows compile failed: $f" >&2
    failed=1
  fi
done
if [ "$failed" != 0 ]; then
  exit 1
fi
echo "windows compile check: all portable sources compile"

if ! { cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-i686.cmake" \
         -DCMAKE_BUILD_TYPE=Release -DKORVENET_TESTS=OFF >/dev/null &&
       cmake --build build-win -j2 >/dev/null; }; then
  echo "windows build failed" >&2
  exit 1
fi
echo "windows executable: $PWD/build-win/tcp_port_serv.exe"
