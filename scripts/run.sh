#!/usr/bin/env bash
# Builds the relay and starts it in the foreground (-console) on the sample channel file:
# a type-2 channel joining device port 20101 to server port 20201. Ctrl+C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target tcp_port_serv >/dev/null
[ -e build/cnf_port.cfg ] || cp sample/cnf_port.cfg build/cnf_port.cfg
exec build/tcp_port_serv -console
