#!/usr/bin/env bash
# Builds the library and QX470USB_Test and runs the console against the simulated amplifier.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
qx470_need_packages cmake g++ make libdivide-dev pkg-config libedf-dev libsndfile1-dev
cmake -S . -B build -DQX470_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
exec build/test_console/QX470USB_Test
