#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Safe to run again: it only calls
# apt-get when something is missing. Run as root (or with sudo) on Debian 12. With --phone it
# also installs what the iPhone build needs besides: dpkg. The toolchains are always installed,
# since the tests link small arm64 and armv7 binaries (the phone signer, the stub generator, the
# 32-bit link) and run arm64 ones on the emulated CPU (Unicorn): LLVM 16's clang, lld, tools and
# libc++ headers, lld 13 (its old Mach-O linker writes the armv7 and armv7s slices), lld (14),
# and PyYAML (the SDK's .tbd stubs).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format git
  libgtest-dev libgmock-dev libbenchmark-dev librapidcheck-dev
  libplist-dev libplist-utils libyaml-dev libcli11-dev libfmt-dev
  libcurl4-openssl-dev libcpp-httplib-dev libgmime-3.0-dev nlohmann-json3-dev
  rsyslog procps openssl lld lld-13 python3-yaml
  libunicorn-dev libutfcpp-dev clang-16 lld-16 llvm-16 libc++-16-dev
)
if [ "${1:-}" = "--phone" ]; then
  packages+=(dpkg)
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
