#!/usr/bin/env bash
# Builds the iPhone package and checks it: both binaries are fat files with armv7, armv7s and
# arm64 slices, each slice checked against its SDK's stubs and against the others, signed as
# every kernel reads it; then writes a package repository and has apt read it back.
# Needs an iPhoneOS SDK named by IOS_SDK; without one it says so and stops (exit 0). The 32-bit
# slices link against IOS_SDK_32 (default: iPhoneOS9.3.sdk beside IOS_SDK).
#
#   IOS_SDK=/path/to/iPhoneOS15.6.sdk [IOS_SDK_32=/path/to/iPhoneOS9.3.sdk] bash scripts/phone.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${IOS_SDK:-}" ] || [ ! -d "${IOS_SDK}/usr/include" ]; then
  echo "phone: skipped: no iPhoneOS SDK (set IOS_SDK to an SDK folder such as iPhoneOS15.6.sdk;"
  echo "phone: README.md, \"On a phone\", says where to get one)"
  exit 0
fi
IOS_SDK="$(cd "${IOS_SDK}" && pwd)"
IOS_SDK_32="${IOS_SDK_32:-$(dirname "${IOS_SDK}")/iPhoneOS9.3.sdk}"
if [ ! -f "${IOS_SDK_32}/usr/lib/libSystem.B.tbd" ]; then
  echo "phone: no SDK for the 32-bit slices at ${IOS_SDK_32}: set IOS_SDK_32 to an"
  echo "phone: iPhoneOS9.3.sdk (README.md, \"On a phone\", says where to get one)"
  exit 1
fi
IOS_SDK_32="$(cd "${IOS_SDK_32}" && pwd)"
export IOS_SDK IOS_SDK_32

bash scripts/setup-debian.sh --phone
for arch in armv7 armv7s arm64; do
  preset="phone-${arch}"
  [ "${arch}" = arm64 ] && preset=phone
  echo "== building the ${arch} slice"
  cmake --preset "${preset}" -DIOS_SDK="${IOS_SDK}" -DIOS_SDK_32="${IOS_SDK_32}" >/dev/null
  cmake --build "build/${preset}"
done

echo "== checking"
deb=$(ls build/phone/com.example.tonewell_*.deb)
monitor=build/phone/fat/Tonewell.dylib
pane=build/phone/fat/TonewellPrefs.bundle/TonewellPrefs
python3 scripts/check_phone_binaries.py "${IOS_SDK}" "${IOS_SDK_32}" "${monitor}" "${pane}" \
  "${deb}" | tee build/phone/check.txt

echo "== repository"
repository=$(python3 scripts/phone_repository.py "${deb}" build/phone/repo)
echo "${repository}"
if ! apt_check=$(python3 scripts/phone_repository.py --check build/phone/repo "${deb}"); then
  echo "${apt_check}"
  exit 1
fi
echo "${apt_check}"

echo "== summary"
for binary in "${monitor}" "${pane}"; do
  echo "phone: $(basename "${binary}"): $(llvm-lipo-16 -archs "${binary}")"
  python3 scripts/verify_signature.py "${binary}" | sed 's/^/phone:   /'
  grep "^ok      $(basename "${binary}") .*: has a UUID" build/phone/check.txt \
    | sed 's/^ok      [^ ]* /phone:   /'
done
echo "${repository}"
echo "${apt_check}"
echo "phone: package ${deb}"

echo "== the phone binaries on the emulated CPU"
# The native build's tonewell command runs every scenario both ways and drives the pane both
# ways; the stand-ins' signatures are checked against this SDK's headers.
cmake --preset default >/dev/null
cmake --build build/default --target tonewell emulator_signatures phone_binary_test
build/default/bin/emulator_signatures > build/phone/stand_in_signatures.jsonl
python3 scripts/check_stand_in_signatures.py "${IOS_SDK}" build/phone/stand_in_signatures.jsonl
scenarios=()
for name in $(build/default/bin/tonewell scenarios | awk '{print $1}'); do scenarios+=("builtin:${name}"); done
scenarios+=(fuzz/corpus/scenario/*)
# The packed binaries, as a phone owner installs them.
packed=build/phone/package-root/Library
for arch in arm64 armv7 armv7s; do
  python3 scripts/emulated_replay.py build/default/bin/tonewell \
    "${packed}/MobileSubstrate/DynamicLibraries/Tonewell.dylib" \
    "${packed}/PreferenceBundles/TonewellPrefs.bundle/TonewellPrefs" "${arch}" "${scenarios[@]}"
  TONEWELL_PHONE_MONITOR="$PWD/${packed}/MobileSubstrate/DynamicLibraries/Tonewell.dylib" \
    TONEWELL_PHONE_ARCH="${arch}" build/default/bin/phone_binary_test --gtest_brief=1 | tail -1 \
    | sed "s/^/phone binary tests (${arch}): /"
done
