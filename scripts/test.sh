#!/usr/bin/env bash
# Builds everything and runs every test.
#   scripts/test.sh [--werror] [--sanitizer address|thread] [--bridge sim|libftdi] [--build-dir DIR]
# With --bridge libftdi the library drives real hardware; the tests then are the ones that need
# no device.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

werror=OFF
sanitizer=""
bridge=sim
build=build
while [ $# -gt 0 ]; do
  case "$1" in
    --werror) werror=ON ;;
    --sanitizer) sanitizer="$2"; shift ;;
    --bridge) bridge="$2"; shift ;;
    --build-dir) build="$2"; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

qx470_need_packages cmake g++ make libgtest-dev libgmock-dev libdivide-dev
# qx470-record's file formats, and numpy for its raw-file round trip.
qx470_need_packages pkg-config libedf-dev libsndfile1-dev python3-numpy
if [ "$bridge" = libftdi ]; then qx470_need_packages pkg-config libftdi1-dev libusb-1.0-0-dev; fi
cmake -S . -B "$build" -DQX470_WARNINGS_AS_ERRORS="$werror" -DQX470_SANITIZER="$sanitizer" \
  -DQX470_BRIDGE="$bridge" >/dev/null
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
run=()
# ThreadSanitizer cannot map its shadow memory under the kernel's largest address randomisation.
if [ "$sanitizer" = thread ] && command -v setarch >/dev/null 2>&1; then run=(setarch "$(uname -m)" -R); fi
"${run[@]}" ctest --test-dir "$build" -j"$(nproc)" --output-on-failure
