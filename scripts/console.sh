#!/usr/bin/env bash
# Builds the library and QX470USB_Test and runs the console against the simulated amplifier.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
qx470_need_packages cmake g++ make libdivide-dev
qx470_need_recorder_packages
log=build/console-build.log
mkdir -p build
echo "Building the library and the console in build/ (a minute or two the first time)..." >&2
# The programs without the tests, which scripts/test.sh builds.
if ! { cmake -S . -B build -DQX470_BUILD_TESTS=OFF && cmake --build build -j"$(nproc)"; } \
  >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  echo "The build failed; the whole log is in $log." >&2
  exit 1
fi &
build_pid=$!
# One line of progress from the build's own percentages while it runs.
# On a terminal it is redrawn every second; elsewhere a line every ten seconds.
seconds=0
while kill -0 "$build_pid" 2>/dev/null; do
  pct=$(grep -o '^\[ *[0-9]*%\]' "$log" 2>/dev/null | tail -n 1 | tr -d '[] ' || true)
  if [ -t 2 ]; then
    printf '\r  built %s' "${pct:-0%}" >&2
  elif [ $((seconds % 10)) -eq 9 ]; then
    echo "  built ${pct:-0%}" >&2
  fi
  sleep 1
  seconds=$((seconds + 1))
done
wait "$build_pid" || exit 1
[ -t 2 ] && printf '\r  built 100%%\n' >&2
echo "Starting the console against the simulated amplifier (build/bin/QX470USB_Test)." >&2
exec build/bin/QX470USB_Test
