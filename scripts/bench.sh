#!/usr/bin/env bash
# Builds the benchmarks in release mode and runs them; each figure has its baseline beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
qx470_need_packages cmake g++ make libbenchmark-dev libdivide-dev
qx470_need_recorder_packages
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQX470_BUILD_BENCH=ON -DQX470_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target readout_bench acquisition_bench stream_pump_bench clock_bench qx470_soak \
  qx470_record_bench
build-bench/bench/readout_bench --benchmark_min_time=0.5 "$@"
build-bench/bench/acquisition_bench --benchmark_min_time=0.5 "$@"
build-bench/bench/stream_pump_bench --benchmark_min_time=0.5 "$@"
build-bench/bench/clock_bench --benchmark_min_time=0.5 "$@"
# The recorder beside a read-only loop, briefly: 5 s of signal at four speeds. The figures of
# docs/performance.md come from build-bench/bench/qx470_record_bench speed 60 ... and realtime 600.
build-bench/bench/qx470_record_bench speed 5 10 25 50
