#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need. Safe to run again:
# it installs only what is missing. Runs apt-get as root (or through sudo when not root).
set -euo pipefail

packages=(
  build-essential cmake pkg-config ninja-build
  libusb-dev libmd-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang
)

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

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
