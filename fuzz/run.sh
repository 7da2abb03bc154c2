#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer (plus ASan and UBSan) and runs each one.
#   fuzz/run.sh [RUNS] [SECONDS]
# RUNS executions per target (default 1000000; -1: no limit), each target stopping after SECONDS
# (default: no time limit).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
qx470_need_packages clang libclang-rt-14-dev libdivide-dev
runs=${1:-1000000}
seconds=${2:-0}
out=build-fuzz
mkdir -p "$out"
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -Ilibrary/src -Iftd2xx/include -Iftd2xx/sim)
clang++ "${flags[@]}" fuzz/calibration_record_fuzz.cpp library/src/calibration_record.cpp -o "$out/calibration_record_fuzz"
clang++ "${flags[@]}" fuzz/stream_commands_fuzz.cpp ftd2xx/sim/stream_commands.cpp ftd2xx/sim/slot_pattern.cpp -o "$out/stream_commands_fuzz"
clang++ "${flags[@]}" fuzz/schedule_fuzz.cpp library/src/schedule.cpp -o "$out/schedule_fuzz"
clang++ "${flags[@]}" fuzz/readout_fuzz.cpp library/src/readout.cpp library/src/context.cpp \
  library/src/schedule.cpp library/platform/platform_posix.cpp \
  library/platform/platform_common.cpp -o "$out/readout_fuzz"
for target in calibration_record stream_commands schedule readout; do
  work="$out/corpus-$target"
  mkdir -p "$work"
  echo "== $target: runs $runs, seconds $seconds =="
  "$out/${target}_fuzz" -runs="$runs" -max_total_time="$seconds" -max_len=512 "$work" \
    "fuzz/corpus/$target" 2>&1 | tail -n 2
done
