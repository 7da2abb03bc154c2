#!/usr/bin/env bash
# The longest stop of the whole recording process (SIGSTOP, as Ctrl-Z or a loaded machine does it)
# that loses nothing at the full rate, 4 x 100 kS/s (800 kB/s): in the simulator, and through the
# libftdi1 backend against the emulated FT2232D. For docs/performance.md.
#   scripts/measure_stalls.sh [MILLISECONDS ...]
# Each stop is tried once per path: qx470-record records 5 s, is stopped 1.5 s in for that long,
# and its exit status and summary say whether anything was lost.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
stalls=("$@")
[ ${#stalls[@]} -gt 0 ] || stalls=(250 500 750 1000 1250 1500 2000)
qx470_need_recorder_packages
qx470_need_packages cmake g++ make libdivide-dev \
  libftdi1-dev libusb-1.0-0-dev umockdev libumockdev-dev libglib2.0-dev
cmake -S . -B build-stall-sim -DCMAKE_BUILD_TYPE=Release -DQX470_BUILD_TESTS=OFF >/dev/null
cmake --build build-stall-sim -j"$(nproc)" --target qx470-record >/dev/null
cmake -S . -B build-stall-usb -DCMAKE_BUILD_TYPE=Release -DQX470_BUILD_TESTS=OFF \
  -DQX470_BRIDGE=libftdi -DQX470_USB_EMULATOR=ON >/dev/null
cmake --build build-stall-usb -j"$(nproc)" --target qx470-record qx470-usb-emulator >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QXSIM_SIGNAL=1 QXSIM_SPEED=1

# try LABEL MS COMMAND...: one recording stopped for MS milliseconds; prints a line of the table.
try() {
  local label=$1 ms=$2
  shift 2
  rm -f "$work"/s.*
  "$@" -q -r 1=100,2=100,3=100,4=100 -t 5s -o "$work/s.dat" 2>"$work/err" &
  local runner=$! pid=""
  while [ -z "$pid" ] || ! [ -s "$work/s.dat" ] || [ "$(stat -c %s "$work/s.dat")" -lt 1200000 ]; do
    pid=$(pgrep -n -x qx470-record || true)
    sleep 0.01
  done
  kill -STOP "$pid"
  sleep "$(awk "BEGIN { print $ms / 1000 }")"
  kill -CONT "$pid"
  local rc=0
  wait "$runner" || rc=$?
  local lost
  lost=$(sed -n 's/.*; \(LOST Ch1 [0-9]*\).*/\1/p; s/.*; \(no sample lost\).*/\1/p' "$work/err")
  printf '| %-38s | %6s ms | %4s | %-16s |\n' "$label" "$ms" "$rc" "${lost:-?}"
}

printf '| %-38s | %9s | %4s | %-16s |\n' "path" "stop" "exit" "summary"
for ms in "${stalls[@]}"; do
  try "simulator (1 MiB device buffer)" "$ms" build-stall-sim/bin/qx470-record
done
for ms in "${stalls[@]}"; do
  try "libftdi1, emulated FT2232D (64 x 16 KiB)" "$ms" build-stall-usb/bin/qx470-usb-emulator -- \
    build-stall-usb/bin/qx470-record
done
