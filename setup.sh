#!/usr/bin/env bash
# Installs the Debian packages this project needs. Idempotent: installs only what is missing.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh: must run as root (it installs Debian packages with apt-get)" >&2
  exit 1
fi

packages=(
  g++ cmake ninja-build pkg-config tzdata ca-certificates
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libssl-dev libplist-dev nlohmann-json3-dev libicu-dev
  libcpp-httplib-dev zlib1g-dev libsqlite3-dev libnanopb-dev nanopb
  clang libclang-rt-14-dev lld
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  if [ "$status" != "install ok installed" ]; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup.sh: all packages present"
  exit 0
fi

echo "setup.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
