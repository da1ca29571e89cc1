#!/usr/bin/env bash
# Cross-builds the library for 64-bit Windows with Debian's mingw-w64 toolchain, from the same
# sources and CMake files as the Linux build: build-windows/pelku_vmq.dll with its import library
# build-windows/libpelku_vmq.dll.a, and, beside them, the unit tests, the C host tests and
# record_digests (the vmq tool stays Linux-only). meshoptimizer, Imath and zstd are cross-built
# from Debian's source packages, GoogleTest from the sources Debian's googletest package installs, once,
# into build-windows-deps/. scripts/test-windows.sh runs the tests under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
deps="$root/build-windows-deps"
prefix="$deps/prefix"
toolchain="$root/cmake/mingw-w64-x86_64.cmake"
jobs="$(nproc)"

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

# Only the -posix compilers have std::thread and std::mutex (winpthreads); g++-mingw-w64-x86-64
# brings both thread models. wine runs the tests, clang-cl compiles the headers as MSVC hosts
# do, dpkg-dev unpacks source packages.
packages=(cmake make g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 clang-tools-14 llvm-14 dpkg-dev googletest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# apt-get source needs a deb-src entry; mirror the machine's own Debian entries.
update=0
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $SUDO tee /etc/apt/sources.list.d/pelku-vmq-deb-src.sources >/dev/null
  else
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | $SUDO tee /etc/apt/sources.list.d/pelku-vmq-deb-src.list >/dev/null
  fi
  update=1
fi
if [ ${#missing[@]} -gt 0 ] || [ "$update" -eq 1 ]; then
  $SUDO apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Dependencies, static, at the versions apt gives Linux; rebuilt only when the stamp is missing.
stamp="$prefix/.built"
if [ ! -f "$stamp" ] || ! grep -q libzstd "$stamp"; then
  rm -rf "$deps/src" "$deps/build" "$prefix"
  mkdir -p "$deps/src"
  # A mirror may list a security update's source without serving it: then the newest version the
  # mirror does serve.
  fetch_source() { # package
    (cd "$deps/src" && apt-get source -qq "$1") >>"$deps/src/apt-source.log" 2>&1 && return 0
    local version
    for version in $(apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -rV); do
      (cd "$deps/src" && rm -rf "$1"[-_]* && apt-get source -qq "$1=$version") >>"$deps/src/apt-source.log" 2>&1 && return 0
    done
    cat "$deps/src/apt-source.log"
    return 1
  }
  for package in meshoptimizer imath libzstd; do fetch_source "$package"; done
  build_dependency() { # name, source folder, extra CMake options...
    local name="$1" source="$2"
    shift 2
    cmake -S "$source" -B "$deps/build/$name" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_C_FLAGS=-ffp-contract=off -DCMAKE_CXX_FLAGS=-ffp-contract=off "$@" >/dev/null
    cmake --build "$deps/build/$name" -j"$jobs" >/dev/null
    cmake --install "$deps/build/$name" >/dev/null
  }
  build_dependency meshoptimizer "$(echo "$deps"/src/meshoptimizer-*/)"
  build_dependency imath "$(echo "$deps"/src/imath-*/)" -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF
  # zstd's CMake files live under build/cmake; the static library only, no programs, no threads
  # (the library compresses each part on the calling thread).
  build_dependency zstd "$(echo "$deps"/src/libzstd-*/)build/cmake" -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_SHARED=OFF \
    -DZSTD_BUILD_STATIC=ON -DZSTD_BUILD_TESTS=OFF -DZSTD_MULTITHREAD_SUPPORT=OFF -DZSTD_LEGACY_SUPPORT=OFF
  build_dependency googletest /usr/src/googletest -DBUILD_GMOCK=OFF
  (cd "$deps/src" && ls ./*.dsc) >"$stamp"
fi

# -O2 as in the Linux build (GCC 12 at -O3 also warns falsely about std::string copies). Tests
# reach the shared data as wine's Z: drive sees it.
shared="Z:$(realpath -m "$root/../shared")"
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_FIND_ROOT_PATH="$prefix" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/wine-run.sh" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DPELKU_VMQ_TOOL=OFF -DPELKU_VMQ_BENCH=OFF -DPELKU_VMQ_SHARED_DIR="$shared" >/dev/null
cmake --build build-windows -j"$jobs"
