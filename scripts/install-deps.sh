#!/usr/bin/env bash
# Installs what building and testing need and a fresh machine may lack. With "run", only what
# building and running the relay needs.
set -euo pipefail

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
# nc: the README's first try of the relay.
command -v nc >/dev/null || need+=(netcat-openbsd)
if [ "${1:-}" != run ]; then
  [ -e /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || [ -e /usr/lib/cmake/GTest/GTestConfig.cmake ] || need+=(libgtest-dev)
  command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686-posix)
  # The Windows test programs: GoogleTest's sources, cross-built with them.
  [ -e /usr/src/googletest/googletest/src/gtest-all.cc ] || need+=(googletest)
  # Wine (32-bit) runs the Windows executable and test programs, with its null display driver.
  if ! command -v wine >/dev/null || ! dpkg -s wine32:i386 >/dev/null 2>&1; then need+=(wine wine32:i386); fi
  # The Debian package and its checks (scripts/test-package.sh): dpkg-shlibdeps for its
  # dependencies, lintian, and systemd-analyze to rate the unit that -install writes (the
  # systemd package only provides the tools here; nothing starts it).
  command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
  command -v lintian >/dev/null || need+=(lintian)
  command -v systemd-analyze >/dev/null || need+=(systemd)
  # ss (iproute2) reads back a listener's backlog in the reconnect storm case.
  command -v ss >/dev/null || need+=(iproute2)
  # clang with libFuzzer's runtime builds the channel file's fuzz target.
  command -v clang++ >/dev/null || need+=(clang)
  compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null || need+=(libclang-rt-dev)
fi
if [ "${KORVENET_BENCH:-}" = 1 ]; then
  command -v socat >/dev/null || need+=(socat)
  command -v rinetd >/dev/null || [ -x /usr/sbin/rinetd ] || need+=(rinetd)
  command -v redir >/dev/null || need+=(redir)
  command -v ser2net >/dev/null || [ -x /usr/sbin/ser2net ] || need+=(ser2net)
  command -v perf >/dev/null || need+=(linux-perf)
fi

if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${need[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  if [[ " ${need[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

# The log stamp tests also check a Russian locale's formats and an American one's 12-hour
# clock: make them where the machine can.
for name in ru_RU en_US; do
  if ! locale -a 2>/dev/null | grep -qi "^$name\.utf-\?8$"; then
    if [ "$(id -u)" -eq 0 ] && command -v localedef >/dev/null && [ -e "/usr/share/i18n/locales/$name" ]; then
      localedef -i "$name" -f UTF-8 "$name.UTF-8" >/dev/null 2>&1 || true
    fi
  fi
done
