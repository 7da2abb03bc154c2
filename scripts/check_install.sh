#!/usr/bin/env bash
# Installs a build into a temporary prefix and uses it as a user would: one program built with
# CMake's find_package(QX470USB), one with pkg-config, both outside the tree, both run against
# the simulated amplifier.
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

run=()
if [ -x "$prefix/bin/qx470-sim" ]; then run=("$prefix/bin/qx470-sim"); fi
for program in "$work/cmake-build/consumer" "$work/pkgconfig-consumer"; do
  if timeout 120 "${run[@]}" "$program"; then :; else
    echo "FAIL: $program"; fail=1
  fi
done
[ $fail -eq 0 ] && echo "install: find_package and pkg-config programs built and ran against the prefix"
exit $fail
