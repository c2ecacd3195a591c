#!/usr/bin/env bash
# Builds the relay and the benchmarks, then measures it side by side with socat (TCP channels),
# with socat, rinetd and redir (one core, see peer_bench; reconnect storms, see storm_bench),
# and with ser2net (serial channels); then how it refuses a flood of peers its allow-list
# shuts out.
set -euo pipefail
cd "$(dirname "$0")/.."
KORVENET_BENCH=1 scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target tcp_port_serv relay_bench peer_bench storm_bench serial_bench access_bench >/dev/null
build/bench/relay_bench build/tcp_port_serv "$@"
echo
# Every process on one core: on a machine with few cores, where the scheduler puts the relay,
# the sender and the echo thread decides a round trip more than the relay does.
taskset -c 0 build/bench/peer_bench build/tcp_port_serv
echo
# Reconnect storms: many devices connecting at once, with the default backlog and a larger one.
build/bench/storm_bench build/tcp_port_serv
echo
build/bench/serial_bench build/tcp_port_serv
echo
exec build/bench/access_bench build/tcp_port_serv
