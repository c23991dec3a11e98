#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need. Safe to run again:
# it installs only what is missing. The lists are scripts/packages/*.txt (one package a line,
# '#' comments); scripts/packages/*.arch names extra dpkg architectures (e.g. i386).
# With arguments, only the named lists are installed (e.g. "setup.sh base capture" installs
# base.txt and capture.txt, without the extra architectures).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

lists=()
arch_files=()
if [ $# -gt 0 ]; then
  for name in "$@"; do
    if [ ! -f "$here/packages/$name.txt" ]; then
      echo "setup: no package list scripts/packages/$name.txt" >&2
      exit 2
    fi
    lists+=("$here/packages/$name.txt")
  done
else
  lists=("$here"/packages/*.txt)
  arch_files=("$here"/packages/*.arch)
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

updated=0
update_once() {
  if [ "$updated" -eq 0 ]; then
    $SUDO apt-get update -qq
    updated=1
  fi
}

for f in "${arch_files[@]}"; do
  [ -e "$f" ] || continue
  while read -r arch _; do
    case "$arch" in ''|'#'*) continue ;; esac
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      echo "setup: adding architecture $arch"
      $SUDO dpkg --add-architecture "$arch"
      updated=0
    fi
  done <"$f"
done

packages=()
for f in "${lists[@]}"; do
  while read -r p _; do
    case "$p" in ''|'#'*) continue ;; esac
    packages+=("$p")
  done <"$f"
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
update_once
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
