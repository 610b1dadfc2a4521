#!/usr/bin/env bash
# Builds the Debian package from a configured and built build directory and
# prints its path:   scripts/package.sh build
set -euo pipefail
build="${1:-build}"
if [ ! -f "$build/CPackConfig.cmake" ]; then
  echo "package.sh: $build is not a configured build directory (no CPackConfig.cmake)" >&2
  exit 1
fi
# dpkg-shlibdeps (dpkg-dev) computes the package's dependencies.
"$(dirname "$0")/install-deps.sh" package >&2
build="$(cd "$build" && pwd)"
# A reconfigure picks up edited manual pages before packing.
cmake "$build" >/dev/null
log="$build/cpack.log"
if ! (cd "$build" && cpack -G DEB) >"$log" 2>&1; then
  cat "$log" >&2
  echo "package.sh: cpack failed" >&2
  exit 1
fi
# cpack names the file it wrote: "CPack: - package: /path/fwupdate_1.7.0_amd64.deb generated."
deb="$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$log" | tail -n 1)"
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
  cat "$log" >&2
  echo "package.sh: cpack wrote no package" >&2
  exit 1
fi
echo "$deb"
