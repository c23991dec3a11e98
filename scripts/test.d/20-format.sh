#!/usr/bin/env bash
# Every C++ file in the tree must be formatted as .clang-format says. Lists the files that are
# not, with the first lines clang-format would change, and fails.
set -euo pipefail
cd "$(dirname "$0")/../.."

command -v clang-format >/dev/null || { echo "format: clang-format missing (run scripts/setup.sh)"; exit 1; }
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.cc' '*.c' 2>/dev/null || true)
if [ ${#files[@]} -eq 0 ]; then
  mapfile -t files < <(find . -path ./build\* -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
fi
bad=0
for f in "${files[@]}"; do
  [ -f "$f" ] || continue
  if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then
    echo "format: not formatted: $f"
    clang-format "$f" | diff -u "$f" - | sed -n '1,12p' | sed 's/^/   /'
    bad=$((bad + 1))
  fi
done
echo "format: ${#files[@]} files checked, $bad not formatted"
[ "$bad" -eq 0 ] || { echo "format: FAILED (run clang-format -i on the files above)"; exit 1; }
