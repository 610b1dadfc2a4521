#!/usr/bin/env bash
# Installs the Debian packages the project needs. Lists live in scripts/packages/:
# base.txt always, and NAME.txt for each extra set named on the command line
# (e.g. `install-deps.sh fuzz`); one package a line, `#` starts a comment.
# Idempotent: does nothing when all are installed, and otherwise names the
# packages it installs before it installs them.
set -euo pipefail
dir="$(cd "$(dirname "$0")" && pwd)/packages"
lists=("$dir/base.txt")
for set in "$@"; do
  lists+=("$dir/$set.txt")
done
missing=()
for p in $(sed 's/#.*//' "${lists[@]}"); do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
names=("${lists[@]##*/}")
echo "install-deps.sh: installing ${missing[*]} (listed in scripts/packages/ ${names[*]})" >&2
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
