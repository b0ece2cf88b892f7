#!/usr/bin/env bash
# Builds everything (native, sanitizers, Windows, fuzzers) and runs every test.
# Usage: ./test.sh            all of it
#        ./test.sh quick      the native build and its tests only
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)
mode=${1:-all}

configure() {  # folder, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
}

windows_exe=""
if [ "$mode" = all ]; then
  echo "== Windows build (mingw-w64)"
  mkdir -p build-windows
  configure build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
  cmake --build build-windows -j "$jobs"
  windows_exe=$PWD/build-windows/bin/vlfwu.exe
fi

echo "== Native build"
mkdir -p build
configure build -DVLFWU_WINDOWS_EXE="$windows_exe"
cmake --build build -j "$jobs"
echo "== Native tests"
ctest --test-dir build --output-on-failure -j "$jobs"

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
