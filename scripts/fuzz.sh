#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, address and undefined-behaviour sanitizers) and runs each
# for the given number of seconds (default 60), starting from its corpus in fuzz/corpus. New
# inputs go to build/fuzz/corpus-<target>; a crash is written to build/fuzz/ as crash-*.
#   bash scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(preferences_fuzzer scenario_fuzzer specifier_fuzzer)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for target in "${targets[@]}"; do
  corpus=${target%_fuzzer}
  [ "$corpus" = specifier ] && corpus=specifiers
  work="build/fuzz/corpus-$target"
  mkdir -p "$work"
  echo "== $target for ${seconds}s"
  (cd build/fuzz && ./bin/"$target" -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
    "../../$work" "../../fuzz/corpus/$corpus")
done
