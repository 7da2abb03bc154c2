#!/usr/bin/env bash
# No program, library or test of the build tree may look for libraries in the folder it is run
# from: a library planted there under any name they need would run with the user's rights.
#   check_no_cwd_libraries.sh BUILD_DIR PLANTED_LIBRARY PYTHON SOURCE_DIR QX470USB_LIBRARY
# It reads every ELF file's search path, then plants a library with a constructor under each
# needed name in an empty folder and runs every program (and the Python package's import) from
# there: the constructor must not run and every program must load.
set -euo pipefail
build=$(readlink -f "$1")
planted=$(readlink -f "$2")
python=$3
source=$(readlink -f "$4")
library=$(readlink -f "$5")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0

elf_files=()
while IFS= read -r -d '' f; do
  [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ] && elf_files+=("$f")
done < <(find "$build" -path '*/CMakeFiles' -prune -o -type f \( -perm -u+x -o -name '*.so*' \) \
  -print0)
[ ${#elf_files[@]} -gt 0 ] || { echo "FAIL: no ELF file under $build"; exit 1; }

# Search paths first: an empty entry, '.', or a relative folder is the current directory.
programs=()
needed=()
for f in "${elf_files[@]}"; do
  dyn=$(readelf -d "$f" 2>/dev/null || true)
  while IFS= read -r paths; do
    IFS=: read -r -a entries <<<"$paths:"
    # A path ending in ':' has an empty last entry, which the loader takes as the current folder.
    [[ "$paths" == *: || "$paths" == :* || "$paths" == *::* ]] && {
      echo "FAIL: $f searches the current folder (empty entry in '$paths')"; fail=1; }
    for e in "${entries[@]}"; do
      [ -z "$e" ] && continue
      case "$e" in
        /* | '$ORIGIN'*) ;;
        *) echo "FAIL: $f searches the relative folder '$e'"; fail=1 ;;
      esac
    done
  done < <(sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]$/\2/p' <<<"$dyn")
  while IFS= read -r n; do needed+=("$n"); done < <(sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' <<<"$dyn")
  if readelf -l "$f" 2>/dev/null | grep -q 'INTERP'; then programs+=("$f"); fi
done

# Then the loader itself: every needed name planted where the programs run.
bait=$work/bait
mkdir "$bait"
mapfile -t names < <(printf '%s\n' "${needed[@]}" | sort -u)
for n in "${names[@]}"; do
  case "$n" in ld-linux*) continue ;; esac
  cp "$planted" "$bait/$n"
done
export QX470_PLANTED_MARK=$work/mark
loader_took_it='error while loading shared libraries|no version information available|symbol lookup error'
# No device and a closed input: every program ends quickly, whatever it does with --help.
export QXSIM_ATTACHED=0
for p in "${programs[@]}"; do
  out=$(cd "$bait" && timeout 30 "$p" --help </dev/null 2>&1) || true
  # A planted library that the loader took may fail on a missing symbol before its constructor.
  if grep -qE "$loader_took_it" <<<"$out"; then
    echo "FAIL: $p took a library from $bait: $(grep -E "$loader_took_it" <<<"$out" | head -n 1)"
    fail=1
  fi
done
if [ -z "$python" ]; then
  echo "the Python package's import not tried (no interpreter given)"
elif out=$(cd "$bait" && PYTHONPATH=$source/python QX470USB_LIBRARY=$library timeout 60 "$python" \
  -B -c 'import qx470usb.lib as l, qx470usb._reader as h; l.load(); h.load()' 2>&1); then
  if grep -qE "$loader_took_it" <<<"$out"; then
    echo "FAIL: the Python package took a library from $bait: $out"; fail=1
  fi
else
  echo "FAIL: the Python package did not load from $bait: $out"; fail=1
fi
if [ -s "$QX470_PLANTED_MARK" ]; then
  echo "FAIL: a library planted in the current folder ran in:"; sort -u "$QX470_PLANTED_MARK"
  fail=1
fi
[ $fail -eq 0 ] && echo "no current-folder search: ${#elf_files[@]} ELF files, ${#programs[@]} programs run beside ${#names[@]} planted names"
exit $fail
