#!/usr/bin/env bash
# Builds the fuzz preset and runs every libFuzzer target for SECONDS seconds each (default 20) on
# a scratch copy of its committed corpus: the corpus in tests/fuzz/corpus/<target>/ is only read,
# so a short run never adds files to the repository. Prints, per target, the executions and the
# coverage reached (libFuzzer's cov: and ft:), and exits non-zero when any target finds a crash,
# a leak or a time-out. The input that did it is kept in build/fuzz/artifacts/<target>/.
#
#   bash tools/fuzz.sh          # the regression run of the CI, 20 seconds per target
#   bash tools/fuzz.sh 600      # a longer session, 10 minutes per target
set -euo pipefail

seconds=${1:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts=$root/build/fuzz/artifacts

status=0
printf '%-30s %12s %8s %8s  %s\n' target executions cov ft result
for bin in build/fuzz/fuzzers/fuzz_*; do
    name=${bin##*/fuzz_}
    seeds=tests/fuzz/corpus/$name
    mkdir -p "$work/$name" "$artifacts/$name"
    log=$work/$name.log
    result=ok
    # The first folder is the working corpus that new inputs go to; the seeds are read only.
    if ! "$bin" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$name/" \
        "$work/$name" "$seeds" >"$log" 2>&1; then
        result=FAILED
        status=1
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    last=$(grep -E '^#[0-9]+' "$log" | grep 'cov:' | tail -1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    printf '%-30s %12s %8s %8s  %s\n' "$name" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$result"
    if [[ $result != ok ]]; then
        grep -E 'ERROR|SUMMARY|Test unit written|runtime error' "$log" | head -20 | sed 's/^/    /'
    fi
done
exit $status
