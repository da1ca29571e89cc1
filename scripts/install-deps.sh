#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when some are missing.
# zlib1g-dev: assimp's CMake package links zlib's development library by path, and
# libassimp-dev does not depend on it. libzstd-dev: the library compresses its serialized form.
# scripts/check-fresh-machine.sh proves the list on a bare Debian root; run it whenever this list
# changes.
set -euo pipefail
packages=(cmake make g++ clang libclang-rt-14-dev pkg-config binutils libgtest-dev libgmock-dev libbenchmark-dev
          libmeshoptimizer-dev libimath-dev libdraco-dev libcli11-dev libassimp-dev zlib1g-dev libstb-dev libzstd-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=()
  [ "$(id -u)" -ne 0 ] && SUDO=(sudo)
  "${SUDO[@]}" apt-get update -qq
  "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
