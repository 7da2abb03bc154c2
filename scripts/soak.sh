#!/usr/bin/env bash
# Streams in real time against the simulator and checks every sample: scripts/soak.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
qx470_need_packages cmake g++ make libbenchmark-dev pkg-config libedf-dev nlohmann-json3-dev libsndfile1-dev
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQX470_BUILD_BENCH=ON -DQX470_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target qx470_soak >/dev/null
exec build-bench/bench/qx470_soak "${1:-600}"
