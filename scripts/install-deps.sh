#!/usr/bin/env bash
# Installs the Debian packages the project needs to build, test and run.
# Idempotent: does nothing when everything is already installed.
set -euo pipefail
packages=(cmake ninja-build g++ make pkg-config libcxx-serial-dev libgtest-dev libgmock-dev python3)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
