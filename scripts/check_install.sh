#!/usr/bin/env bash
# Installs a build into a temporary prefix and uses it as a user would: one program built with
# CMake's find_package(QX470USB), one with pkg-config, both outside the tree, the recorder and
# the Python package, all run against the simulated amplifier through the installed qx470-sim.
#   scripts/check_install.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: check_install.sh BUILD_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libQX470USB.so.1' | head -n 1)")
fail=0

# No absolute path of the build or the source tree may be left in what was installed.
if grep -rIl -e "$(pwd)" "$prefix" >/dev/null 2>&1; then
  echo "FAIL: installed files name the source tree:"; grep -rIl -e "$(pwd)" "$prefix"; fail=1
fi

cmake -S tests/install -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
cc -o "$work/pkgconfig-consumer" tests/install/consumer.c $(pkg-config --cflags --libs qx470usb) \
  -Wl,-rpath,"$libdir"

# Every program runs against the simulated amplifier through the installed qx470-sim, as an
# owner tries a program before the device is on the bench.
sim=("$prefix/bin/qx470-sim")
for program in "$work/cmake-build/consumer" "$work/pkgconfig-consumer"; do
  if timeout 120 "${sim[@]}" "$program"; then :; else
    echo "FAIL: $program"; fail=1
  fi
done
if [ -x "$prefix/bin/qx470-record" ]; then
  out=$(timeout 60 "${sim[@]}" "$prefix/bin/qx470-record" --show 2>&1) || { echo "FAIL: qx470-record --show: $out"; fail=1; }
  grep -q "ready" <<<"$out" || { echo "FAIL: qx470-record --show says: $out"; fail=1; }
fi
site=$(dirname "$(find "$prefix" -path '*/qx470usb/__init__.py' | head -n 1)")
if [ -n "$site" ] && [ -x /usr/bin/python3 ]; then
  (cd "$work" && PYTHONPATH=$(dirname "$site") timeout 120 "${sim[@]}" /usr/bin/python3 -c \
    "import qx470usb; r = qx470usb.record({1: 100}, samples=100000); print('python:', r)") \
    || { echo "FAIL: the installed Python package"; fail=1; }
fi
# The library takes its bridge from its private folder, not from anywhere a vendor's might be.
grep -q -- "$libdir/qx470usb/libqx470usb_bridge.so.1" <<<"$(ldd "$libdir/libQX470USB.so.1")" \
  || { echo "FAIL: the library does not take its bridge from $libdir/qx470usb:"; ldd "$libdir/libQX470USB.so.1"; fail=1; }
[ $fail -eq 0 ] && echo "install: find_package and pkg-config programs, the recorder and Python, all against the prefix"
exit $fail
