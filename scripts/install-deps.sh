#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine needs to build, test and run libkorvanrt.
# Idempotent: when every package is present it changes nothing.
set -euo pipefail

packages=(
  build-essential g++ cmake make pkg-config git
  zlib1g-dev rapidjson-dev nlohmann-json3-dev
  libflatbuffers-dev flatbuffers-compiler
  libxtensor-dev xtl-dev libxsimd-dev
  python3-dev libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev libfmt-dev libeigen3-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
