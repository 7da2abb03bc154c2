#!/bin/sh
# Checks the Windows binaries' tables with objdump:
#   check_windows_tables.sh OBJDUMP QX470USB.dll QX470USB_Test.exe QX470USB.def
# - the DLL exports exactly the module definition's twenty names, undecorated, each at its ordinal;
# - the console imports from QX470USB only by ordinal, exactly the fifteen exports it uses;
# - neither needs a DLL beyond the system's (and the bridge driver, for the library).
set -eu
objdump=$1 dll=$2 exe=$3 def=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail=0

# "[   6] Do_Autozero" in the name table: the index is the ordinal less the base of 1.
"$objdump" -p "$dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' |
  awk '{print $1 + 1, $2}' | sort -n > "$tmp/exports"
grep ' @' "$def" | sed 's/^[[:space:]]*\([A-Za-z0-9_]*\)[@0-9]* @\([0-9]*\).*/\2 \1/' | sort -n > "$tmp/wanted"
if ! diff "$tmp/wanted" "$tmp/exports"; then
  echo "FAIL: the DLL's export table differs from the module definition"; fail=1
fi

# The console's import block for QX470USB.dll: "80000007   7  <none>" is ordinal 7 with no name.
"$objdump" -p "$exe" | awk '/DLL Name:/ {inside = ($3 == "QX470USB.dll"); next}
  inside && NF == 3 && /^[[:space:]]*[0-9a-f]+[[:space:]]/ {print}' > "$tmp/imports"
if grep -qv '<none>' "$tmp/imports"; then
  echo "FAIL: the console imports from QX470USB by name:"; grep -v '<none>' "$tmp/imports"; fail=1
fi
# The ordinal is the low 16 bits of the first field (the second is printed in decimal by the
# 32-bit objdump and in hexadecimal by the 64-bit one).
awk '{print substr($1, length($1) - 3)}' "$tmp/imports" | while read -r hex; do
  printf '%d\n' "0x$hex"
done | sort -n | tr '\n' ' ' > "$tmp/ordinals"
if [ "$(cat "$tmp/ordinals")" != "2 3 4 5 7 8 9 10 13 14 15 17 18 19 20 " ]; then
  echo "FAIL: the console imports ordinals $(cat "$tmp/ordinals")"; fail=1
fi

dlls() { "$objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u | tr '\n' ' '; }
[ "$(dlls "$dll")" = "KERNEL32.dll USER32.dll ftd2xx.dll msvcrt.dll " ] ||
  { echo "FAIL: QX470USB.dll imports from $(dlls "$dll")"; fail=1; }
[ "$(dlls "$exe")" = "KERNEL32.dll QX470USB.dll msvcrt.dll " ] ||
  { echo "FAIL: QX470USB_Test.exe imports from $(dlls "$exe")"; fail=1; }

[ $fail -eq 0 ] && echo "export and import tables as expected: 20 exports, 15 ordinal-only imports"
exit $fail
