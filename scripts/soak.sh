#!/usr/bin/env bash
# Streams in real time against the simulator and checks every sample: scripts/soak.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
qx470_need_packages cmake g++ make libbenchmark-dev
qx470_need_recorder_packages
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQX470_BUILD_BENCH=ON -DQX470_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target qx470_soak >/dev/null
exec build-bench/bench/qx470_soak "${1:-600}"
