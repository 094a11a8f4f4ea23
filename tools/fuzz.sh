#!/usr/bin/env bash
# Builds the libFuzzer targets of the fuzz preset and runs each for SECONDS seconds (default 20)
# on a scratch copy of its committed corpus: the corpus in tests/fuzz/corpus/<target>/ is only
# read, so a short run never adds files to the repository. Targets run JOBS at a time (default:
# one per core), each for its full time. Prints, per target, the executions and the coverage
# reached (libFuzzer's cov: and ft:), and exits non-zero when any target finds a crash, a leak or
# a time-out. The input that did it is kept in build/fuzz/artifacts/<target>/.
#
#   bash tools/fuzz.sh          # the regression run of the CI, 20 seconds per target
#   bash tools/fuzz.sh 600      # a longer session, 10 minutes per target
#   JOBS=1 bash tools/fuzz.sh   # one target at a time
set -euo pipefail

seconds=${1:-20}
jobs=${JOBS:-$(nproc)}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzzers

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts=$root/build/fuzz/artifacts

# One target for its full time; its verdict in $work/<name>.status, its log in $work/<name>.log.
fuzz_one() {
    local bin=$1 name=${1##*/fuzz_}
    mkdir -p "$work/$name" "$artifacts/$name"
    # The first folder is the working corpus that new inputs go to; the seeds are read only.
    if "$bin" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$name/" \
        "$work/$name" "tests/fuzz/corpus/$name" >"$work/$name.log" 2>&1; then
        echo ok >"$work/$name.status"
    else
        echo FAILED >"$work/$name.status"
    fi
}

targets=(build/fuzz/fuzzers/fuzz_*)
for bin in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
    fuzz_one "$bin" &
done
wait

status=0
printf '%-30s %12s %8s %8s  %s\n' target executions cov ft result
for bin in "${targets[@]}"; do
    name=${bin##*/fuzz_}
    log=$work/$name.log
    result=$(cat "$work/$name.status" 2>/dev/null || echo FAILED)
    [[ $result == ok ]] || status=1
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
