#!/usr/bin/env bash
# Compiles every portable room with the i686 MinGW-w64 g++ (posix threads), compile only, so
# that nothing Linux-only leaks outside the platform seam's Linux folder.
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=i686-w64-mingw32-g++-posix
failed=0
for f in $(git ls-files --cached --others --exclude-standard -- 'base/*.cpp' 'net/*.cpp' 'serial/*.cpp' \
             'service/*.cpp' 'relay/*.cpp' 'platform/win/*.cpp'); do
  [ -f "$f" ] || continue
  if ! "$cxx" -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I. "$f"; then
    echo "windows compile failed: $f" >&2
    failed=1
  fi
done
[ "$failed" = 0 ] && echo "windows compile check: all portable sources compile"
exit "$failed"
