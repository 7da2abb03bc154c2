#!/usr/bin/env bash
# The Windows build, from this Debian machine: cross-builds QX470USB.dll, its ordinal import
# library, QX470USB_Test.exe, the simulated bridge ftd2xx.dll and the tests with MinGW-w64 for
# i686 and x86_64, then runs the tests and the table checks under Wine.
#   scripts/windows.sh [--werror] [i686|x86_64 ...]
# Where the kernel cannot run 32-bit programs, or wine32 cannot be installed, both are still
# built, the x86_64 tests run under the 64-bit loader alone, and of the i686 ones only the table
# checks run, which read the binaries without running them; the i686 tests that were not run are
# reported as such. QX470_NO_32BIT=1
# takes that path on any machine.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

werror=OFF
arches=()
for a in "$@"; do
  case "$a" in
    --werror) werror=ON ;;
    i686|x86_64) arches+=("$a") ;;
    *) echo "unknown option $a" >&2; exit 2 ;;
  esac
done
[ ${#arches[@]} -gt 0 ] || arches=(i686 x86_64)

qx470_need_packages cmake make googletest libdivide-dev g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
qx470_need_packages wine wine64

# Once wine32 is installed, Debian's wine command always starts the 32-bit loader, which hands
# 64-bit programs on to wine64. Whether 32-bit programs can run at all is asked of the kernel
# before wine32 and the i386 architecture are asked for; wine32 that cannot be installed (a
# broken i386 index, say) leaves the i686 tests built and reported as not run.
wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
no32=
if [ "${QX470_NO_32BIT:-0}" != 0 ]; then
  no32="QX470_NO_32BIT=$QX470_NO_32BIT says so"
elif ! qx470_kernel_runs_32bit; then
  no32="the kernel does not start 32-bit programs"
elif [ -z "$(qx470_missing_packages wine32:i386)" ]; then
  :
elif [ "$(id -u)" -ne 0 ]; then
  no32="wine32:i386 is not installed (sudo dpkg --add-architecture i386; sudo apt-get install wine32:i386)"
else
  added_i386=
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    added_i386=1
    QX470_APT_UPDATED=
  fi
  if ! qx470_want_packages wine32:i386; then
    no32="wine32:i386 cannot be installed here"
    # An architecture with nothing installed from it only makes every later update slower.
    if [ -n "$added_i386" ] && [ -z "$(dpkg-query -W -f='${Package}:${Architecture}\n' 2>/dev/null | grep ':i386$')" ]; then
      dpkg --remove-architecture i386 || true
    fi
  fi
fi
if [ -z "$no32" ] && ! out=$("$wine32" --version 2>&1); then
  # bash says "scripts/windows.sh: line N: /usr/lib/wine/wine: cannot execute binary file: ..."
  no32=$(printf '%s\n' "$out" | sed -n '$s/^[^:]*: line [0-9]*: //p')
  [ -n "$no32" ] || no32="$wine32 --version failed"
fi

if [ -n "$no32" ]; then
  # The 64-bit loader for everything that runs, and for what Wine starts itself; a prefix of its
  # own, since one made here lacks what a 32-bit wineboot adds.
  wine=$wine64
  export WINELOADER=$wine64
  export WINEPREFIX=${WINEPREFIX:-/tmp/qx470-wineprefix64}
  echo "windows: 32-bit Windows programs cannot run here ($no32); Wine runs through $wine64 alone"
else
  wine=$(command -v wine)
  export WINEPREFIX=${WINEPREFIX:-/tmp/qx470-wineprefix}
fi
export WINEDEBUG=${WINEDEBUG:--all,err+module}
export WINEDLLOVERRIDES="mscoree,mshtml="
# Without a display the library's message box returns at once instead of waiting for a click.
unset DISPLAY
if [ ! -d "$WINEPREFIX" ]; then
  if ! log=$("$wine" wineboot -i 2>&1); then
    echo "windows: making the Wine prefix $WINEPREFIX with $wine failed:" >&2
    printf '%s\n' "$log" | tail -n 20 >&2
    # A half-made prefix would be taken as ready next time.
    rm -rf "$WINEPREFIX"
    exit 1
  fi
fi

# The checks that read the binaries and run none of them.
no_execution='^windows\.export_and_import_tables$'
status=0
not_run=
for arch in "${arches[@]}"; do
  build=build-windows-$arch
  echo "== Windows $arch =="
  # The loader is given explicitly each time: the build directory keeps what it was given last.
  loader=$wine
  [ "$arch" = x86_64 ] || loader=$(command -v wine)
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-$arch.cmake" \
    -DQX470_WARNINGS_AS_ERRORS="$werror" -DQX470_WINE="$loader" >/dev/null
  cmake --build "$build" -j"$(nproc)"
  if [ "$arch" = i686 ] && [ -n "$no32" ]; then
    ctest --test-dir "$build" -R "$no_execution" --no-tests=error --output-on-failure || status=1
    n=$(ctest --test-dir "$build" -N -E "$no_execution" | sed -n 's/^Total Tests: //p')
    not_run="windows: i686 tests NOT RUN: 32-bit Windows programs cannot run here ($no32); $n skipped, only the table checks ran"
  else
    QX470_WINE=$loader ctest --test-dir "$build" -j"$(nproc)" --output-on-failure || status=1
  fi
done
wineserver -k 2>/dev/null || true
[ -z "$not_run" ] || echo "$not_run"
exit $status
