#!/usr/bin/env bash
# The Debian package, from a release build directory (default build/): builds it with cpack,
# checks it with lintian, installs it with dpkg, runs -help and -check from /opt/korvenet,
# rates the unit that -install writes with systemd-analyze, runs the relay once so that it
# writes its log, and removes the package again: "dpkg -r" leaves the logs, the channel file
# and the options file (conffiles), "dpkg -P" the logs alone.
#
# The install part needs root, and it leaves alone a machine that has korvenet installed or
# anything in /opt/korvenet already: it says so and skips.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)

fail() { echo "package: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB >/dev/null)
version=$("$build/tcp_port_serv" -version | sed -n 's/^tcp_port_serv (Korvenet) //p')
deb="$build/korvenet_${version}_$(dpkg --print-architecture).deb"
[ -n "$version" ] && [ -f "$deb" ] || fail "no package named after the version '$version' in $build"
# Lintian also runs the manual page through groff and reports its complaints as warnings.
lintian --fail-on error,warning "$deb" 2>/dev/null || fail "lintian reports errors or warnings"
echo "package: $(basename "$deb"), lintian: no errors, no warnings"

if [ "$(id -u)" -ne 0 ]; then
  echo "package: not root, install test skipped"
  exit 0
fi
if dpkg-query -W -f='${Status}' korvenet 2>/dev/null | grep -q installed || [ -e /opt/korvenet ]; then
  echo "package: korvenet or /opt/korvenet is on this machine already, install test skipped"
  exit 0
fi

dir=/opt/korvenet
units=$(mktemp -d)
relay=
cleanup() {
  [ -z "$relay" ] || { kill "$relay" 2>/dev/null; wait "$relay" 2>/dev/null || true; }
  dpkg -P korvenet >/dev/null 2>&1 || true
  rm -rf "$dir" "$units"
}
trap cleanup EXIT

dpkg -i "$deb" >/dev/null
[ -x "$dir/tcp_port_serv" ] && [ -f "$dir/cnf_port.cfg" ] && [ -f "$dir/cnf_options.cfg" ] &&
  [ -f /usr/share/man/man8/tcp_port_serv.8.gz ] ||
  fail "dpkg -i did not install the executable, the channel file, the options file and the manual page"

"$dir/tcp_port_serv" -help | grep -qx "Files, in the executable's directory $dir/:" || fail "-help names no directory"
check=$("$dir/tcp_port_serv" -check) || fail "-check of the sample warns: $check"
# The sample options file sets nothing: every option is commented out.
[ "$check" = "Options file: $dir/cnf_options.cfg
  no retry: what fails to open stays closed until the service starts again
  no bind, allow or limit: every listener listens on every address and admits anyone
  no backlog: up to 5 connections wait on each listener to be accepted (the system allows $(cat /proc/sys/net/core/somaxconn))
Channel file: $dir/cnf_port.cfg
channel 1: device port 20101, type 2, server port 20201, label \"sample channel\"
1 channel, no warnings" ] || fail "-check of the sample: $check"

KORVENET_UNIT_DIR=$units "$dir/tcp_port_serv" -install -silent || fail "-install failed"
unit=$units/Rodivo_vedodaraz.service
verify=$(systemd-analyze verify "$unit" 2>&1) && [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
# --threshold=50: exposure above 5.0 fails.
score=$(systemd-analyze security --offline=true --threshold=50 "$unit" 2>&1) ||
  fail "the unit is exposed: $(echo "$score" | tail -n 1)"
echo "package: $(echo "$score" | tail -n 1)"
"$dir/tcp_port_serv" -uninstall -silent 2>/dev/null || true

# The relay writes its log beside itself.
"$dir/tcp_port_serv" -console 2>/dev/null &
relay=$!
for _ in $(seq 200); do
  grep -q ServiceExecute "$dir/log_service.txt" 2>/dev/null && break
  kill -0 "$relay" 2>/dev/null || break
  sleep 0.1
done
kill "$relay"
wait "$relay" || fail "the relay did not stop cleanly"
relay=
[ -f "$dir/log_service.txt" ] || fail "the relay wrote no log"

dpkg -r korvenet >/dev/null 2>&1  # it says that /opt/korvenet is not empty
left=$(cd "$dir" && ls -A | tr '\n' ' ')
[ "$left" = "cnf_options.cfg cnf_port.cfg log_service.txt " ] || fail "dpkg -r left: $left"
[ ! -e /usr/share/man/man8/tcp_port_serv.8.gz ] || fail "dpkg -r left the manual page"
dpkg -P korvenet >/dev/null 2>&1
left=$(cd "$dir" && ls -A | tr '\n' ' ')
[ "$left" = "log_service.txt " ] || fail "dpkg -P left: $left"
echo "package: installed, checked and removed; only the log is left (removed now)"
