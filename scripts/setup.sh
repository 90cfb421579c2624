#!/usr/bin/env bash
# Installs what the project needs on a fresh Debian machine (run as root or
# with sudo available). Packages already present are left alone.
set -euo pipefail
packages=(build-essential cmake g++ clang-14 libclang-rt-14-dev googletest libgtest-dev
          libbenchmark-dev libffi-dev libpng-dev libjpeg-dev libtiff-dev libwebp-dev zlib1g-dev
          pkg-config libfreetype-dev fonts-dejavu-core fontconfig)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
