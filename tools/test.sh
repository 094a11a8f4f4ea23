#!/usr/bin/env bash
# Builds the project and runs every test: unit, integration (the real programs played over
# 127.0.0.1) and the corpus replays, once in the optimised build with warnings as errors and
# once under AddressSanitizer and UndefinedBehaviorSanitizer. After the optimised build's tests,
# the ticket tests run once more with the host name resolving to 127.0.1.1, as on a stock Debian
# host, in namespaces of their own (root only; skipped with a notice otherwise).
#   bash tools/test.sh            # both builds
#   PRESETS=ci bash tools/test.sh # one of them
# Then it builds the Debian package and checks it (tools/package_test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
ensure_deps "${DEPS_ALL[@]}"

# Every test that starts the ticket client: its Authenticator carries the host name's address.
stock_host_tests() {
    echo "=== ci: ticket tests, host name resolving to 127.0.1.1 (tools/stock_host.sh)"
    if [ "$(id -u)" -ne 0 ] || ! unshare --uts --net --mount true 2>/dev/null; then
        echo "SKIPPED: needs root and permission to create namespaces (unshare)"
        return 0
    fi
    ensure_deps "${DEPS_STOCK_HOST[@]}"
    bash tools/stock_host.sh ctest --preset ci -R '^(Client[A-Za-z]*|HostileClient|TicketRun|MyAddr)\.'
}

for preset in ${PRESETS:-ci asan}; do
    echo "=== ${preset}: build"
    cmake --preset "$preset" >/dev/null
    timed "${preset}: build" cmake --build --preset "$preset"
    echo "=== ${preset}: tests"
    timed "${preset}: tests" ctest --preset "$preset"
    if [ "$preset" = ci ]; then
        timed "ci: stock-host tests" stock_host_tests
    fi
done

# The Debian package from the release preset (PACKAGE=0 leaves it out).
[ "${PACKAGE:-1}" = 0 ] || timed "package" bash tools/package_test.sh
