#!/usr/bin/env bash
# Reads "key value" lines on standard input (the FIGURE output of the reliability tests and the
# fuzz statistics) and writes each value into the row of the figures table of the given file
# whose first cell is `key`. Rows of other keys are left as they are.
#
# usage: ... | scripts/reliability_figures.sh RELIABILITY.md
set -euo pipefail
doc=$1
values=$(mktemp)
trap 'rm -f "$values" "$values.new"' EXIT
cat > "$values"
awk -v stamp="$(date -u +%Y-%m-%d)" '
  NR == FNR { if (NF >= 2) v[$1] = $2; next }
  /^\| `[a-z0-9_]+` \|/ {
    key = $2; gsub(/`/, "", key)
    if (key in v) {
      n = split($0, cell, "|")
      cell[3] = " " v[key] " "
      cell[5] = " " stamp " "
      line = ""
      for (i = 2; i < n; i++) line = line "|" cell[i]
      print line "|"
      next
    }
  }
  { print }
' "$values" "$doc" > "$values.new"
cp "$values.new" "$doc"
