#!/usr/bin/env bash
# Builds the Debian package from the libftdi backend (real hardware), checks what it holds,
# installs it with dpkg as a user would, tries what it installed, and removes it again, leaving
# the machine as it was. Needs root.
#   scripts/check_deb.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
build=${1:-build-deb}
qx470_need_packages cmake g++ make pkg-config libftdi1-dev libusb-1.0-0-dev libdivide-dev \
  dpkg-dev file lintian python3-numpy
qx470_need_recorder_packages
[ "$(id -u)" -eq 0 ] || { echo "check_deb.sh installs a package: run it as root" >&2; exit 1; }
if [ "$(dpkg-query -W -f='${Status}' qx470usb 2>/dev/null || true)" = "install ok installed" ]; then
  echo "qx470usb is installed already; remove it first (apt-get purge qx470usb)" >&2; exit 1
fi

cmake -S . -B "$build" -DQX470_BRIDGE=libftdi -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_BUILD_TYPE=Release -DQX470_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
rm -f "$build"/qx470usb_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/qx470usb_*_"$(dpkg --print-architecture)".deb)
fail=0
echo "== $deb"
dpkg-deb -f "$deb" Package Version Architecture Depends Recommends Section
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for want in ./usr/bin/QX470USB_Test ./usr/bin/qx470-record ./usr/bin/qx470-sim \
    ./usr/bin/qx470-check ./usr/share/man/man1/qx470-check.1.gz \
    ./usr/include/QX470USB.h ./usr/lib/"$multiarch"/libQX470USB.so.1 \
    ./usr/lib/"$multiarch"/qx470usb/libqx470usb_bridge.so.1 \
    ./usr/lib/"$multiarch"/qx470usb/sim/libqx470usb_bridge.so.1 \
    ./usr/lib/"$multiarch"/cmake/QX470USB/QX470USBConfig.cmake \
    ./usr/lib/"$multiarch"/pkgconfig/qx470usb.pc ./usr/lib/udev/rules.d/60-qx470usb.rules \
    ./usr/lib/python3/dist-packages/qx470usb/__init__.py ./usr/share/doc/qx470usb/copyright; do
  grep -qx -- "$want" <<<"$contents" || { echo "FAIL: the package lacks $want"; fail=1; }
done
grep -q "libftdi1-2" <<<"$(dpkg-deb -f "$deb" Depends)" || { echo "FAIL: no computed dependency on libftdi1"; fail=1; }
# Lintian's errors fail the check; its warnings are the one-package layout the package has on
# purpose (the library, its headers and the tools together).
lint=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v "root privileges" || true)
[ -n "$lint" ] && echo "$lint"
if grep -q "^E:" <<<"$lint"; then echo "FAIL: lintian reports errors"; fail=1; fi

trap 'apt-get purge -y -qq qx470usb >/dev/null 2>&1 || true' EXIT
dpkg -i "$deb" >/dev/null
out=$(cd /tmp && printf '\n' | timeout 60 QX470USB_Test 2>&1) && rc=0 || rc=$?
{ grep -q "No Device" <<<"$out" && [ $rc -eq 0 ]; } \
  || { echo "FAIL: QX470USB_Test without a device (exit $rc): $out"; fail=1; }
# Every installed program starts on its own (no device here: the USB bridge says so)...
out=$(cd /tmp && timeout 60 qx470-record --show 2>&1) && rc=0 || rc=$?
{ grep -q "Device: no QX-470-USB found" <<<"$out" && grep -q "Bridge: USB (/usr/lib/$multiarch/qx470usb/" \
  <<<"$out" && [ $rc -eq 1 ]; } || { echo "FAIL: qx470-record --show (exit $rc): $out"; fail=1; }
out=$(cd /tmp && timeout 60 qx470-check --steps 1-2 2>&1) && rc=0 || rc=$?
{ grep -q "^2. status       FAIL  absent" <<<"$out" && [ $rc -eq 1 ]; } \
  || { echo "FAIL: qx470-check without a device (exit $rc): $out"; fail=1; }
out=$(cd /tmp && timeout 120 qx470-sim qx470-check --steps 1-5 2>&1) \
  || { echo "FAIL: qx470-sim qx470-check: $out"; fail=1; }
out=$(timeout 60 qx470-sim --help 2>&1) || { echo "FAIL: qx470-sim --help: $out"; fail=1; }
grep -q "^usage: qx470-sim" <<<"$out" || { echo "FAIL: qx470-sim --help says: $out"; fail=1; }
# ...and under qx470-sim, against the simulated amplifier, which it names.
out=$(cd /tmp && timeout 60 qx470-sim qx470-record --show 2>&1) || true
{ grep -q "ready" <<<"$out" && grep -q "Bridge: simulated amplifier" <<<"$out"; } \
  || { echo "FAIL: qx470-sim qx470-record --show: $out"; fail=1; }
(cd /tmp && /usr/bin/python3 -c "import qx470usb; print('python: qx470usb', qx470usb.__version__)") \
  || { echo "FAIL: import qx470usb"; fail=1; }
(cd /tmp && timeout 120 qx470-sim /usr/bin/python3 -c \
  "import qx470usb; print('python:', qx470usb.record({1: 100}, samples=10000))") \
  || { echo "FAIL: a recording from the installed Python package"; fail=1; }
grep -q -- "/usr/lib/$multiarch/qx470usb/libqx470usb_bridge.so.1" \
  <<<"$(ldd /usr/lib/"$multiarch"/libQX470USB.so.1)" \
  || { echo "FAIL: the library does not take its bridge from its private folder"; fail=1; }

apt-get purge -y -qq qx470usb >/dev/null
trap - EXIT
if [ -e /usr/bin/qx470-record ] || [ -d /usr/lib/python3/dist-packages/qx470usb ]; then
  echo "FAIL: files left after the purge"; fail=1
fi
[ $fail -eq 0 ] && echo "deb: built, checked, installed, tried and removed"
exit $fail
