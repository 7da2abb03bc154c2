#!/usr/bin/env bash
# The Windows build, from this Debian machine: cross-builds QX470USB.dll, its ordinal import
# library, QX470USB_Test.exe, the simulated bridge ftd2xx.dll and the tests with MinGW-w64 for
# i686 and x86_64, then runs the tests and the table checks under Wine.
#   scripts/windows.sh [--werror] [i686|x86_64 ...]
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
# The 32-bit programs need wine32, without which they do not start (and wine still exits 0).
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [ "$(id -u)" -eq 0 ]; then dpkg --add-architecture i386; else
    echo "Run: sudo dpkg --add-architecture i386" >&2; exit 1; fi
fi
qx470_need_packages wine wine64 wine32:i386

export WINEPREFIX=${WINEPREFIX:-/tmp/qx470-wineprefix}
export WINEDEBUG=${WINEDEBUG:--all,err+module}
export WINEDLLOVERRIDES="mscoree,mshtml="
# Without a display the library's message box returns at once instead of waiting for a click.
unset DISPLAY
[ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1

status=0
for arch in "${arches[@]}"; do
  build=build-windows-$arch
  echo "== Windows $arch =="
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-$arch.cmake" \
    -DQX470_WARNINGS_AS_ERRORS="$werror" >/dev/null
  cmake --build "$build" -j"$(nproc)"
  ctest --test-dir "$build" -j"$(nproc)" --output-on-failure || status=1
done
wineserver -k 2>/dev/null || true
exit $status
