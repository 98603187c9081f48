#!/usr/bin/env bash
# Installs what is missing, builds, and runs the `tonewell` command with the arguments given
# (none: the built-in scenario "pocket-call").
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup-debian.sh"
(cd "$root" && cmake --preset default >/dev/null && cmake --build --preset default --target tonewell >/dev/null)
exec "$root/build/default/bin/tonewell" "$@"
