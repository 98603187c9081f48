#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Safe to run again: it only calls
# apt-get when something is missing. Run as root (or with sudo) on Debian 12. With --phone it
# also installs what the iPhone build needs: LLVM 16's clang, Mach-O linker and tools (arm64, fat
# files), lld 13 (its old Mach-O linker writes the armv7 and armv7s slices), PyYAML (the SDK's
# .tbd stubs). lld (14) and lld-13 are always installed, with PyYAML: the tests link small
# arm64 and armv7 binaries to check the phone signer, the stub generator and the 32-bit link.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format git
  libgtest-dev libgmock-dev libbenchmark-dev librapidcheck-dev
  libplist-dev libplist-utils libyaml-dev libcli11-dev libfmt-dev
  libcurl4-openssl-dev libcpp-httplib-dev libgmime-3.0-dev nlohmann-json3-dev
  python3-aiosmtpd rsyslog procps openssl lld lld-13 python3-yaml
)
if [ "${1:-}" = "--phone" ]; then
  packages+=(clang-16 lld-16 lld-13 llvm-16 dpkg python3-yaml)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
