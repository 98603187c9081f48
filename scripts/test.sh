#!/usr/bin/env bash
# Installs what is missing, then configures, builds (warnings are errors) and runs the tests of
# each preset named (default: the "default" preset; also "asan" and "tsan").
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh

source scripts/test-services.sh
trap stop_test_services EXIT

presets=("$@")
((${#presets[@]})) || presets=(default)
for preset in "${presets[@]}"; do
  echo "== $preset: configure, build, test"
  cmake --preset "$preset" -DTONEWELL_WERROR=ON >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" --output-on-failure -j2
done
