#!/usr/bin/env bash
# Builds the relay and starts it in the foreground (-console) on build/cnf_port.cfg. That file
# is the sample as shipped (sample/cnf_port.cfg: a type-2 channel joining device port 20101 to
# server port 20201), copied afresh on every run, unless you have put a channel file of your
# own there: then that one is used, and left as it is. Ctrl+C stops the relay.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target tcp_port_serv >/dev/null
# What this script copied last time tells a sample copy from a file of the user's own.
copied=build/.run-sample-cnf_port.cfg
if [ ! -e build/cnf_port.cfg ] || { [ -f "$copied" ] && cmp -s build/cnf_port.cfg "$copied"; }; then
  cp sample/cnf_port.cfg build/cnf_port.cfg
  cp sample/cnf_port.cfg "$copied"
  echo "run.sh: channel file build/cnf_port.cfg: the sample (sample/cnf_port.cfg)" >&2
else
  echo "run.sh: channel file build/cnf_port.cfg: your own (remove it to get the sample again)" >&2
fi
exec build/tcp_port_serv -console
