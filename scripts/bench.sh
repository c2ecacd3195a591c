#!/usr/bin/env bash
# Builds the relay and the benchmark, then measures it side by side with socat.
set -euo pipefail
cd "$(dirname "$0")/.."
KORVENET_BENCH=1 scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target tcp_port_serv relay_bench >/dev/null
exec build/bench/relay_bench build/tcp_port_serv "$@"
