#!/usr/bin/env bash
# Builds the arm64 iPhone package and checks it: the monitor's exports, the pane's Objective-C
# classes, that every imported symbol comes from a library of the SDK, and the package layout.
# Needs an iPhoneOS SDK named by IOS_SDK; without one it says so and stops (exit 0).
#
#   IOS_SDK=/path/to/iPhoneOS15.6.sdk bash scripts/phone.sh [--rootless]
set -euo pipefail
cd "$(dirname "$0")/.."

preset=phone
prefix=""
if [ "${1:-}" = "--rootless" ]; then
  preset=phone-rootless
  prefix=/var/jb
fi

if [ -z "${IOS_SDK:-}" ] || [ ! -d "${IOS_SDK}/usr/include" ]; then
  echo "phone: skipped: no iPhoneOS SDK (set IOS_SDK to an SDK folder such as iPhoneOS15.6.sdk;"
  echo "phone: README.md, \"On a phone\", says where to get one)"
  exit 0
fi
IOS_SDK="$(cd "${IOS_SDK}" && pwd)"
export IOS_SDK

bash scripts/setup-debian.sh --phone
echo "== building for arm64 against ${IOS_SDK}"
cmake --preset "${preset}" -DIOS_SDK="${IOS_SDK}" >/dev/null
cmake --build "build/${preset}"

echo "== checking"
deb=$(ls "build/${preset}"/com.example.tonewell_*.deb)
python3 scripts/check_phone_binaries.py "${IOS_SDK}" "build/${preset}/lib/Tonewell.dylib" \
  "build/${preset}/lib/TonewellPrefs.bundle/TonewellPrefs" "${deb}" "${prefix}"
echo "phone: package ${deb}"

echo "== the phone binaries on the emulated CPU"
# The native build's tonewell command runs every scenario both ways and drives the pane both
# ways; the stand-ins' signatures are checked against this SDK's headers.
cmake --preset default >/dev/null
cmake --build build/default --target tonewell emulator_signatures phone_binary_test
build/default/bin/emulator_signatures > "build/${preset}/stand_in_signatures.jsonl"
python3 scripts/check_stand_in_signatures.py "${IOS_SDK}" "build/${preset}/stand_in_signatures.jsonl"
scenarios=()
for name in $(build/default/bin/tonewell scenarios | awk '{print $1}'); do scenarios+=("builtin:${name}"); done
scenarios+=(fuzz/corpus/scenario/*)
python3 scripts/emulated_replay.py build/default/bin/tonewell "build/${preset}/lib/Tonewell.dylib" \
  "build/${preset}/lib/TonewellPrefs.bundle/TonewellPrefs" arm64 "${scenarios[@]}"
TONEWELL_PHONE_MONITOR="$PWD/build/${preset}/lib/Tonewell.dylib" build/default/bin/phone_binary_test \
  --gtest_brief=1 | tail -1 | sed 's/^/phone binary tests: /'
