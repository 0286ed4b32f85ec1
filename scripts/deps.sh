#!/usr/bin/env bash
# Installs what Brindlex needs from Debian packages; skips what is there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libmd-dev libsqlite3-dev libsystemd-dev libmicrohttpd-dev libssl-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 curl lftp rclone ncftp systemd
  qt6-base-dev
  dpkg-dev man-db groff-base file
  xvfb xauth imagemagick x11-utils
  clang libfuzzer-14-dev clang-format
  haproxy prometheus
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
