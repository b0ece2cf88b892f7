#!/usr/bin/env bash
# Installs the Debian packages that the builds need and that are missing.
# Usage: tools/install-deps.sh [group...]     groups: native (default), windows, fuzz, all
#   native   CMake, Ninja, GCC and GoogleTest: the Linux build, its tests and the demo
#   windows  mingw-w64 and Wine: the Windows build and its tests under Wine
#   fuzz     clang with its sanitizer and libFuzzer runtimes
# As root it runs apt-get; otherwise it names the command to run and fails.
set -euo pipefail

packages=()
for group in "${@:-native}"; do
  case $group in
    native) packages+=(cmake ninja-build g++ libgtest-dev) ;;
    windows) packages+=(g++-mingw-w64-x86-64-posix wine wine64) ;;
    fuzz) packages+=(clang libclang-rt-dev) ;;
    all) packages+=(cmake ninja-build g++ libgtest-dev g++-mingw-w64-x86-64-posix wine wine64
                    clang libclang-rt-dev) ;;
    *) echo "install-deps: unknown group '$group' (native, windows, fuzz, all)" >&2; exit 2 ;;
  esac
done

if ! command -v dpkg-query > /dev/null; then
  echo "install-deps: not a Debian system; make sure these (or their equivalents) are installed:" >&2
  echo "  ${packages[*]}" >&2
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2> /dev/null | grep -q '^ii'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "Installing ${missing[*]} ..."
log=$(mktemp /tmp/install-deps.XXXXXX.log)
export DEBIAN_FRONTEND=noninteractive
if ! { apt-get update -qq && apt-get install -y -qq "${missing[@]}"; } > "$log" 2>&1; then
  tail -50 "$log" >&2
  exit 1
fi
rm -f "$log"
