#!/usr/bin/env bash
# Figures of the libftdi1 backend through the emulated FT2232D (docs/performance.md):
# per-thread CPU with four channels at 100 kS/s in real time, and unpaced bulk-IN throughput.
#   scripts/measure_usb.sh [seconds] [--build-dir DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
seconds=30
build=build-usb-emulated
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$2"; shift ;;
    *) seconds="$1" ;;
  esac
  shift
done
qx470_need_packages cmake g++ make pkg-config libftdi1-dev libusb-1.0-0-dev umockdev \
  libumockdev-dev libglib2.0-dev libgtest-dev
cmake -S . -B "$build" -DQX470_BRIDGE=libftdi -DQX470_USB_EMULATOR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target usb_emulated_measure
"$build/tests/usb_emulated_measure" cpu "$seconds"
"$build/tests/usb_emulated_measure" throughput 10
