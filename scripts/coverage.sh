#!/usr/bin/env bash
# Line and branch coverage of the two deliverables (tweak/ and tonewellprefs/) by the whole test
# suite: builds the coverage preset, runs ctest, and prints gcovr's figures per file and in all.
# Branches the compiler makes for exceptions and for code without a source line are left out, as
# are lines marked "// unreachable: <reason>" (each says why no test can take it).
#   bash scripts/coverage.sh            # figures on standard output, HTML in build/coverage/html
#   bash scripts/coverage.sh --check    # also exits 1 unless every branch is taken or marked
# Lines are reported too; those left are the handlers of running out of memory.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh

check=false
[[ "${1:-}" == "--check" ]] && check=true

source scripts/test-services.sh
trap stop_test_services EXIT

cmake --preset coverage >/dev/null
cmake --build --preset coverage
find build/coverage -name '*.gcda' -delete
ctest --preset coverage -j2 >/dev/null || { ctest --preset coverage --rerun-failed; exit 1; }

# The .def tables hold no code of their own: what each line becomes is the code of the file
# that includes it (the tests' and the tools' too), measured there.
options=(
  --root . --object-directory build/coverage
  --filter 'tweak/' --filter 'tonewellprefs/' --exclude '.*\.def$'
  --exclude-throw-branches --exclude-unreachable-branches
  --exclude-lines-by-pattern '.*// unreachable: .*'
)
mkdir -p build/coverage/html
gcovr "${options[@]}" --html-details build/coverage/html/index.html >/dev/null
echo "== lines"
gcovr "${options[@]}"
echo "== branches"
gcovr "${options[@]}" --branches
if $check; then
  gcovr "${options[@]}" --fail-under-branch 100 >/dev/null ||
    { echo "coverage: a branch of tweak/ or tonewellprefs/ is neither taken nor marked"; exit 1; }
fi
