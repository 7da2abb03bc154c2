#!/bin/sh
# The Windows console end to end under Wine against the simulator, with keys on a pipe:
#   check_windows_console.sh QX470USB_Test.exe
# A run: once the rate prompt shows, a key starts the acquisition; once readings show, space
# stops it and Return leaves while further keys keep arriving. Then the same program without a
# device.
set -u
exe=$1
# The wine command, unless scripts/windows.sh names the 64-bit loader: on a machine that runs no
# 32-bit programs the wine command cannot start anything.
wine=${QX470_WINE:-wine}
dir=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$dir"' EXIT
fail=0

# Waits up to $2 seconds for the output so far to hold the pattern $1.
wait_for() {
  n=0
  while [ $n -lt $(($2 * 10)) ]; do
    tr '\r' '\n' < "$dir/out" | grep -q -- "$1" && return 0
    sleep 0.1
    n=$((n + 1))
  done
  echo "FAIL: no \"$1\" within $2 s"
  fail=1
  return 1
}

mkfifo "$dir/keys"
QXSIM_SPEED=0 timeout 180 "$wine" "$exe" < "$dir/keys" > "$dir/out" 2>&1 &
pid=$!
exec 3> "$dir/keys"
wait_for "Device Ready." 60 && wait_for "hit any other key when done" 30 && printf 'x' >&3 &&
  wait_for "[0-9]\.[0-9][0-9][0-9]V  *-\{0,1\}[0-9]*\.[0-9][0-9][0-9]V" 60
printf ' ' >&3
wait_for "Hit <RETURN> to exit." 60
printf '\n' >&3
# Keys keep coming while the program ends: its key reader must not outlive what it fills.
(while printf 'z' 2>/dev/null; do sleep 0.005; done) >&3 &
trickle=$!
exec 3>&-
wait "$pid"
rc=$?
pid=
kill "$trickle" 2>/dev/null
[ $rc -eq 0 ] || { echo "FAIL: a run ended with $rc"; fail=1; }
if grep -qi "unhandled\|exception" "$dir/out"; then echo "FAIL: the run crashed on its way out"; fail=1; fi
# The simulated bridge beside the program is named, so its sine waves are not taken for a device.
grep -q "Simulated amplifier, not a device on the bus (.*ftd2xx.dll)" "$dir/out" ||
  { echo "FAIL: the console does not say that it drives the simulated amplifier"; fail=1; }
if [ $fail -ne 0 ]; then
  echo "--- its output:"; tr '\r' '\n' < "$dir/out" | grep -v '^$' | head -40
  exit 1
fi

printf '\n' | QXSIM_ATTACHED=0 timeout 60 "$wine" "$exe" > "$dir/out" 2>&1
rc=$?
wait_for "No Device" 1
[ $rc -eq 0 ] || { echo "FAIL: the run without a device ended with $rc"; fail=1; }

[ $fail -eq 0 ] && echo "console end to end under Wine: a run with readings, and No Device"
exit $fail
