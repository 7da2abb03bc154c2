#!/usr/bin/env bash
# Makes sure the Debian packages that the build needs are installed: installs them when it can
# (root with apt), otherwise says exactly what to install. Sourced by the other scripts.
#
# A mirror that is half-synced (one architecture's index of the wrong size, say) makes
# `apt-get update` exit 100 although every other index is fine. So the update is retried a few
# times and then taken as it is; only a package that really cannot be installed fails, by name.

# qx470_apt_update: once per script run; a failed index is a warning, not the end.
qx470_apt_update() {
  [ -z "${QX470_APT_UPDATED:-}" ] || return 0
  local try log
  for try in 1 2 3; do
    if log=$(apt-get update -qq 2>&1); then
      QX470_APT_UPDATED=1
      return 0
    fi
    [ "$try" -lt 3 ] && sleep $((try * 5))
  done
  echo "warning: apt-get update failed for some index three times; going on with the lists it has:" >&2
  printf '%s\n' "$log" | grep -E '^(E|W):' | head -n 5 >&2
  QX470_APT_UPDATED=1
  return 0
}

# qx470_missing_packages PKG...: prints those not installed, one a line.
qx470_missing_packages() {
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || echo "$pkg"
  done
}

# qx470_install_packages [--no-install-recommends] PKG...: installs them all at once, or else one
# by one so that the ones that cannot be installed are named. Returns 1 when any is left out.
qx470_install_packages() {
  local apt=(env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq)
  if [ "${1:-}" = --no-install-recommends ]; then apt+=("$1"); shift; fi
  [ $# -gt 0 ] || return 0
  qx470_apt_update
  "${apt[@]}" "$@" >/dev/null 2>&1 && return 0
  local pkg failed=()
  for pkg in "$@"; do
    "${apt[@]}" "$pkg" >/dev/null 2>&1 || failed+=("$pkg")
  done
  [ ${#failed[@]} -eq 0 ] && return 0
  echo "cannot install: ${failed[*]}" >&2
  return 1
}

# qx470_want_packages PKG...: installed when they can be; returns 1 when some are missing after.
qx470_want_packages() {
  local missing
  mapfile -t missing < <(qx470_missing_packages "$@")
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "Installing ${missing[*]} ..."
    qx470_install_packages "${missing[@]}" && return 0
  fi
  return 1
}

# qx470_need_packages PKG...: the script cannot go on without them.
qx470_need_packages() {
  qx470_want_packages "$@" && return 0
  # As root the installer has named what it could not install.
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    local missing
    mapfile -t missing < <(qx470_missing_packages "$@")
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install -y ${missing[*]}" >&2
  fi
  exit 1
}

# qx470_need_recorder_packages: what qx470-record is built with: the file formats' libraries,
# Boost's Beast for the live bench, and npm for the page's plotting library (pinned in
# web/live/package-lock.json). A machine with its own Node.js and npm keeps them.
qx470_need_recorder_packages() {
  qx470_need_packages pkg-config libedf-dev nlohmann-json3-dev libsndfile1-dev libboost-dev \
    libpugixml-dev
  command -v npm >/dev/null 2>&1 || qx470_need_packages npm
}

# qx470_kernel_runs_32bit: whether this kernel starts i386 programs. A 32-bit ELF of 84 bytes
# that only calls exit(0) is run; no package is needed to ask.
qx470_kernel_runs_32bit() {
  local f
  f=$(mktemp /tmp/qx470-elf32.XXXXXX) || return 1
  # ELF header (52 bytes), one PT_LOAD program header (32 bytes) at 0x08048000, entry at byte 84:
  # mov eax,1; xor ebx,ebx; int 0x80.
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$f"
  printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' >>"$f"
  printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' >>"$f"
  printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' >>"$f"
  printf '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' >>"$f"
  printf '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >>"$f"
  chmod +x "$f"
  local rc=0
  "$f" >/dev/null 2>&1 || rc=1
  rm -f "$f"
  return $rc
}
