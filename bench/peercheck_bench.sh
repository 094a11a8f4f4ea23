#!/usr/bin/env bash
# Conformance-runner benchmark: builds the release preset, runs each role's whole catalogue with
# peercheck against our own programs (the conforming ones), two cases at a time, and prints the
# seconds per role and in total with the verdicts, then the number of cases per role and family.
# Not a timed test: the figures depend on the load from other processes, printed first. The test
# password server accepts the type-12 opening (so that latchkey-badjoin can be served): it fails
# the cases aimed at that opening.
#
#   bash bench/peercheck_bench.sh [jobs] [peercheck options]   (default 2)
#   bash bench/peercheck_bench.sh 2 --no-sandbox                 (isolation's cost: compare)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${1:-2}
shift || true

cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target peercheck peercheck-pass-client peercheck-pass-server \
    gatekeep server client lockbox-badhash latchkey-badjoin >/dev/null
bin=$root/build/release/bin

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores; -j $jobs $*"
printf '%-9s %-22s %8s   %s\n' role implementation seconds verdicts
total_start=$(date +%s.%N)
for entry in client:client server:server gatekeep:gatekeep lockbox:peercheck-pass-server \
    latchkey:peercheck-pass-client; do
    role=${entry%%:*}
    impl=${entry#*:}
    start=$(date +%s.%N)
    summary=$("$bin/peercheck" "$role" -j "$jobs" "$@" -- "$bin/$impl" | tail -1) || true
    end=$(date +%s.%N)
    printf '%-9s %-22s %8.1f   %s\n' "$role" "$impl" "$(awk "BEGIN { print $end - $start }")" "$summary"
done
total_end=$(date +%s.%N)
printf '%-9s %-22s %8.1f\n' total "" "$(awk "BEGIN { print $total_end - $total_start }")"

# The catalogue's size, role by role and family by family.
echo
printf '%-9s' cases
families=$(for role in client server gatekeep lockbox latchkey; do
    "$bin/peercheck" "$role" --list | cut -d/ -f2
done | sort -u)
for family in $families; do printf ' %8s' "$family"; done
printf ' %8s\n' all
for role in client server gatekeep lockbox latchkey; do
    printf '%-9s' "$role"
    list=$("$bin/peercheck" "$role" --list)
    for family in $families; do
        printf ' %8s' "$(grep -c "^$role/$family/" <<<"$list" || true)"
    done
    printf ' %8s\n' "$(wc -l <<<"$list")"
done
