#!/usr/bin/env bash
# Builds everything and runs every test.
#   scripts/test.sh [--werror] [--sanitizer address|thread] [--bridge sim|libftdi] [--usb-emulator]
#                   [--long] [--build-dir DIR]
# With --bridge libftdi the library drives real hardware; the tests then are the ones that need
# no device. --usb-emulator (with --bridge libftdi) also builds the emulated FT2232D (umockdev) and
# runs the library over libftdi1 and libusb against it. --long adds the long runs (a minute of
# the full rate through the emulator).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

werror=OFF
sanitizer=""
bridge=sim
usb_emulator=OFF
build=build
while [ $# -gt 0 ]; do
  case "$1" in
    --werror) werror=ON ;;
    --sanitizer) sanitizer="$2"; shift ;;
    --bridge) bridge="$2"; shift ;;
    --usb-emulator) usb_emulator=ON ;;
    --long) export QX470_LONG_TESTS=1 ;;
    --build-dir) build="$2"; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

qx470_need_packages cmake g++ make libgtest-dev libgmock-dev libdivide-dev
# qx470-record's file formats and live bench, and numpy for its raw-file round trip.
qx470_need_recorder_packages
qx470_need_packages python3-numpy
# The live bench's page is tested in a real browser: Debian's Chromium, headless, under Selenium.
qx470_need_packages chromium chromium-driver python3-selenium
# The Python package's tests: pytest, and matplotlib for the scope; libfaketime steps the host's
# clock under a recording.
qx470_need_packages python3-pytest python3-matplotlib faketime
# The readers labs use, which must find every file's metadata: MNE (EDF+), soundfile, pandas.
qx470_need_packages python3-mne python3-soundfile python3-pandas
# XDF files are read back by libxdf, the reader SigViewer uses.
qx470_need_packages libxdf-dev
if [ "$bridge" = libftdi ]; then qx470_need_packages pkg-config libftdi1-dev libusb-1.0-0-dev; fi
if [ "$usb_emulator" = ON ]; then
  [ "$bridge" = libftdi ] || { echo "--usb-emulator needs --bridge libftdi" >&2; exit 2; }
  qx470_need_packages umockdev libumockdev-dev libglib2.0-dev
fi
extra=()
if [ "$bridge" = libftdi ]; then extra=(-DQX470_USB_EMULATOR="$usb_emulator"); fi
# Everything the suite covers is switched on, whatever an earlier configure of this folder chose
# (scripts/console.sh builds build/ without the tests).
cmake -S . -B "$build" -DQX470_WARNINGS_AS_ERRORS="$werror" -DQX470_SANITIZER="$sanitizer" \
  -DQX470_BRIDGE="$bridge" -DQX470_BUILD_TESTS=ON -DQX470_BUILD_CONSOLE=ON \
  -DQX470_BUILD_RECORDER=ON "${extra[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
run=()
# ThreadSanitizer cannot map its shadow memory under the kernel's largest address randomisation.
if [ "$sanitizer" = thread ] && command -v setarch >/dev/null 2>&1; then run=(setarch "$(uname -m)" -R); fi
# A suite that finds no test has failed, not passed.
"${run[@]}" ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --no-tests=error
