#!/usr/bin/env bash
# Formats our C++ sources (every tracked .cpp and .h outside third_party/) with
# the tree's .clang-format.
#   scripts/format.sh            rewrites the files in place;
#   scripts/format.sh --check    changes nothing: lists the files that are not
#                                formatted, with the number of their lines that
#                                would change, and fails when there are any.
# CLANG_FORMAT names the program (default clang-format-14, else clang-format):
# other versions format some constructs differently.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

check=false
case "${1:-}" in
  --check) check=true ;;
  "") ;;
  *)
    echo "usage: scripts/format.sh [--check]" >&2
    exit 2
    ;;
esac

tool=${CLANG_FORMAT:-}
if [ -z "$tool" ]; then
  if command -v clang-format-14 >/dev/null; then
    tool=clang-format-14
  elif command -v clang-format >/dev/null; then
    tool=clang-format
  else
    echo "format: clang-format not found (apt-get install clang-format-14)" >&2
    exit 2
  fi
fi

mapfile -t files < <(git ls-files -- '*.cpp' '*.h' | grep -v '^third_party/' || true)
if [ "${#files[@]}" -eq 0 ]; then
  exit 0
fi

if ! $check; then
  printf '%s\0' "${files[@]}" | xargs -0 "$tool" -i --style=file
  exit 0
fi

unformatted=0
total=0
for file in "${files[@]}"; do
  # Lines of the file that the formatted version does not keep as they are.
  changed=$("$tool" --style=file "$file" |
    diff --old-line-format=$'x\n' --new-line-format='' --unchanged-line-format='' "$file" - | wc -l || true)
  if [ "$changed" -gt 0 ]; then
    echo "$file: $changed lines"
    unformatted=$((unformatted + 1))
    total=$((total + changed))
  fi
done
if [ "$unformatted" -gt 0 ]; then
  echo "format: $unformatted of ${#files[@]} files not formatted ($total lines); scripts/format.sh fixes them"
  exit 1
fi
echo "format: all ${#files[@]} files formatted"
