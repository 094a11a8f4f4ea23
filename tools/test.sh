#!/usr/bin/env bash
# Builds the project and runs every test: unit, integration (the real programs played over
# 127.0.0.1) and the corpus replays, once in the optimised build with warnings as errors and
# once under AddressSanitizer and UndefinedBehaviorSanitizer.
#   bash tools/test.sh            # both builds
#   PRESETS=ci bash tools/test.sh # one of them
# Then it builds the Debian package and checks it (tools/package_test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
ensure_deps "${DEPS_ALL[@]}"

for preset in ${PRESETS:-ci asan}; do
    echo "=== ${preset}: build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    echo "=== ${preset}: tests"
    ctest --preset "$preset"
done

# The Debian package from the release preset (PACKAGE=0 leaves it out).
[ "${PACKAGE:-1}" = 0 ] || bash tools/package_test.sh
