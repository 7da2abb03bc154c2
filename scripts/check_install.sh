#!/usr/bin/env bash
# Installs a build into a temporary prefix and uses it as a user would: one program built with
# CMake's find_package(QX470USB), one with the README's pkg-config line, both outside the tree,
# every installed program started on its own, then the programs, the recorder and the Python
# package against the simulated amplifier through the installed qx470-sim; and the Python package
# installed where the system's interpreter looks.
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
# The README's pkg-config line, exactly as written there, on a program of the user's.
line=$(sed -n 's/^    \(cc myprog\.c .*pkg-config.*\)$/\1/p' README.md | head -n 1)
[ -n "$line" ] || { echo "FAIL: no 'cc myprog.c ... pkg-config' line in the README"; exit 1; }
cp tests/install/consumer.c "$work/myprog.c"
(cd "$work" && eval "$line") || { echo "FAIL: the README's line did not build: $line"; exit 1; }
mv "$work/myprog" "$work/pkgconfig-consumer"

# Every installed program starts on its own from the prefix: the simulated bridge here, so the
# device is there; qx470-sim explains itself.
for program in QX470USB_Test qx470-record qx470-check qx470-sim; do
  [ -x "$prefix/bin/$program" ] || continue
  case $program in
    QX470USB_Test) args=() ;;
    qx470-record) args=(--show) ;;
    qx470-check) args=(--steps 1-3) ;;
    qx470-sim) args=(--help) ;;
  esac
  out=$(cd "$work" && printf '\n' | timeout 60 "$prefix/bin/$program" "${args[@]}" 2>&1) && rc=0 || rc=$?
  if [ $rc -eq 126 ] || [ $rc -eq 127 ] || grep -q "error while loading" <<<"$out"; then
    echo "FAIL: $program does not start from the prefix (exit $rc): $out"; fail=1
  fi
done

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
  { grep -q "ready" <<<"$out" && grep -q "Bridge: simulated amplifier ($libdir/qx470usb/" <<<"$out"; } \
    || { echo "FAIL: qx470-record --show says: $out"; fail=1; }
fi
site=$(dirname "$(find "$prefix" -path '*/qx470usb/__init__.py' | head -n 1)")
if [ -n "$site" ] && [ -x /usr/bin/python3 ]; then
  (cd "$work" && PYTHONPATH=$(dirname "$site") timeout 120 "${sim[@]}" /usr/bin/python3 -c \
    "import qx470usb; r = qx470usb.record({1: 100}, samples=100000); print('python:', r)") \
    || { echo "FAIL: the installed Python package"; fail=1; }
fi
# Installed into the prefix it was configured for (/usr/local by default), the Python package
# lands in a folder that the system's interpreter searches (tried in a staging folder).
configured=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
if [ -x /usr/bin/python3 ] && [ -n "$site" ]; then
  DESTDIR=$work/stage cmake --install "$build" >/dev/null
  found=""
  while IFS= read -r dir; do
    case "$dir" in "$configured"/*) [ -f "$work/stage$dir/qx470usb/__init__.py" ] && found=$dir ;; esac
  done < <(/usr/bin/python3 -c 'import sys; print("\n".join(sys.path))')
  if [ -n "$found" ]; then
    if (cd "$work" && PYTHONPATH=$work/stage$found /usr/bin/python3 -c "import qx470usb"); then
      echo "install: the Python package goes to $found, on /usr/bin/python3's path"
    else
      echo "FAIL: import qx470usb from $found"; fail=1
    fi
  elif /usr/bin/python3 -c 'import sys; sys.exit(not any(p.startswith(sys.argv[1] + "/") for p in sys.path))' "$configured"; then
    echo "FAIL: the Python package is not in a folder that /usr/bin/python3 searches under $configured:"
    find "$work/stage" -name __init__.py -path '*qx470usb*'; fail=1
  else
    echo "install: $configured is not on /usr/bin/python3's path; its users set PYTHONPATH"
  fi
fi
# The library takes its bridge from its private folder, not from anywhere a vendor's might be.
grep -q -- "$libdir/qx470usb/libqx470usb_bridge.so.1" <<<"$(ldd "$libdir/libQX470USB.so.1")" \
  || { echo "FAIL: the library does not take its bridge from $libdir/qx470usb:"; ldd "$libdir/libQX470USB.so.1"; fail=1; }
[ $fail -eq 0 ] && echo "install: find_package and pkg-config programs, the recorder and Python, all against the prefix"
exit $fail
