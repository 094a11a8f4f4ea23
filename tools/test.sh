#!/usr/bin/env bash
# Builds the project and runs every test: unit, integration (the real programs played over
# 127.0.0.1) and the corpus replays, once in the optimised build with warnings as errors and
# once under AddressSanitizer and UndefinedBehaviorSanitizer. After the optimised build's tests,
# the ticket tests run once more with the host name resolving to 127.0.1.1, as on a stock Debian
# host, in namespaces of their own (root only; skipped with a notice otherwise).
#   bash tools/test.sh            # both builds
#   PRESETS=ci bash tools/test.sh # one of them
# Then it builds the Debian package and checks it (tools/package_test.sh). Each stage's build
# runs while the tests of the stage before it run.
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
    bash tools/stock_host.sh ctest --preset ci -R '^(Client[A-Za-z]*|HostileClient|TicketRun|MyAddr|StandinClient|Standin/ConformingRun)\.'
}

# The stages: each preset's tests, then the Debian package from the release preset (PACKAGE=0
# leaves it out).
stages=(${PRESETS:-ci asan})
[ "${PACKAGE:-1}" = 0 ] || stages+=(package)

build_stage() {  # a preset, or the programs of the package
    if [ "$1" = package ]; then
        bash tools/package_test.sh --build-only
    else
        cmake --preset "$1" >/dev/null
        cmake --build --preset "$1"
    fi
}

# The next stage builds beside the tests of this one, at a lower priority: the tests spend most of
# their time waiting on the network, and no load may make them fail (tools/soak.sh proves them).
# Its output is shown only when it fails.
next_build_start() {
    next_log=$(mktemp) next_start=$SECONDS
    (renice -n 10 $BASHPID >/dev/null && build_stage "$1") >"$next_log" 2>&1 &
    next_pid=$!
}
next_build_wait() {
    local status=0
    wait "$next_pid" || status=$?
    echo "=== $1: build took $((SECONDS - next_start)) s, beside the tests"
    [ $status -eq 0 ] || cat "$next_log"
    rm -f "$next_log"
    [ $status -eq 0 ] || { echo "=== $1: build FAILED"; exit 1; }
}

echo "=== ${stages[0]}: build"
timed "${stages[0]}: build" build_stage "${stages[0]}"
for i in "${!stages[@]}"; do
    stage=${stages[$i]} next=${stages[$((i + 1))]:-}
    [ -z "$next" ] || next_build_start "$next"
    if [ "$stage" = package ]; then
        timed "package" bash tools/package_test.sh
    else
        echo "=== ${stage}: tests"
        timed "${stage}: tests" ctest --preset "$stage"
        [ "$stage" != ci ] || timed "ci: stock-host tests" stock_host_tests
    fi
    [ -z "$next" ] || next_build_wait "$next"
done
