#!/usr/bin/env bash
# Builds everything (native, sanitizers, Windows, fuzzers) and runs every test and the fault
# campaign's CI subset, with compiler warnings as errors; builds the Windows release twice and
# checks that both are the same bytes. Installs the packages it needs first
# (tools/install-deps.sh).
# Usage: ./test.sh            all of it, and the Windows release zip
#        ./test.sh quick      the native build and its tests only
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)
mode=${1:-all}
export WINEDEBUG=${WINEDEBUG:--all}

if [ "$mode" = all ]; then
  tools/install-deps.sh all
else
  tools/install-deps.sh native
fi

configure() {  # folder, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DVLFWU_WERROR=ON "$@" > "$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; return 1; }
}

windows_build() {  # folder: vlfwu.exe and the release zip, with SHA256SUMS beside it
  local dir=$1
  mkdir -p "$dir"
  configure "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
  cmake --build "$dir" -j "$jobs"
  rm -f "$dir"/package/*.zip
  cmake --build "$dir" --target package > "$dir.package.log" 2>&1 || { cat "$dir.package.log"; return 1; }
}

windows_exe=""
windows_zip=""
if [ "$mode" = all ]; then
  echo "== Windows build (mingw-w64) and release zip"
  windows_build build-windows
  windows_exe=$PWD/build-windows/bin/vlfwu.exe
  windows_zip=$(echo "$PWD"/build-windows/package/vlfwu-*-win64.zip)
  echo "$windows_zip"

  # A release can be checked against its source: a clean build of the same commit in another
  # folder, at another time, must give the same bytes.
  echo "== Windows build again, clean, in another folder: the same vlfwu.exe and zip"
  rm -rf build-windows-again
  windows_build build-windows-again
  again_zip=build-windows-again/package/$(basename "$windows_zip")
  sha256sum build-windows/bin/vlfwu.exe build-windows-again/bin/vlfwu.exe "$windows_zip" "$again_zip"
  cmp build-windows/bin/vlfwu.exe build-windows-again/bin/vlfwu.exe
  cmp "$windows_zip" "$again_zip"
  cmp build-windows/package/SHA256SUMS build-windows-again/package/SHA256SUMS
  (cd build-windows/package && sha256sum -c SHA256SUMS)
fi

# Optimised as a release is, so that warnings seen only at -O3 stop the build.
echo "== Native build (Release)"
mkdir -p build
configure build -DCMAKE_BUILD_TYPE=Release -DVLFWU_WINDOWS_EXE="$windows_exe" -DVLFWU_WINDOWS_ZIP="$windows_zip"
cmake --build build -j "$jobs"
echo "== Native tests"
ctest --test-dir build --output-on-failure -j "$jobs"

if [ "$mode" = all ]; then
  # A few cases of every fault class, each against switch-sim as a process: the total line must
  # stay at 0 false successes, hangs, crashes and unrestored switches.
  echo "== Fault campaign, CI subset"
  build/bin/fault_campaign --ci --lanes 4 --no-wine
fi

if [ "$mode" = all ]; then
  echo "== Sanitizer build (ASan + UBSan)"
  mkdir -p build-asan
  configure build-asan -DVLFWU_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  cmake --build build-asan -j "$jobs"
  echo "== Sanitizer tests"
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -E 'Wine'

  echo "== Fuzzers (clang libFuzzer, bounded time)"
  mkdir -p build-fuzz
  configure build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVLFWU_FUZZ=ON
  cmake --build build-fuzz -j "$jobs"
  ctest --test-dir build-fuzz --output-on-failure -R 'fuzz_'
fi
