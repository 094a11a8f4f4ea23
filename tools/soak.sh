#!/usr/bin/env bash
# Proves tests steady: runs the ctest cases whose names match REGEX, RUNS times in a row (default
# 20), in the PRESET build (default ci), while stress-ng keeps every core busy. Prints one line per
# run, and for each failed run the tests that failed, their output and what they kept (the
# "kept:" lines: scratch folders, captures, program outputs). Exits 1 when any run failed; the
# logs of every run are then kept too.
#   bash tools/soak.sh '^dissector$' 50
#   bash tools/soak.sh 'HostNameResolvingElsewhere' 50 asan
#   bash tools/soak.sh . 3              # the whole ci suite, three times
# LOAD sets the number of stress-ng workers (default: one per core; 0 runs without load).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
ensure_deps "${DEPS_ALL[@]}" "${DEPS_SOAK[@]}"

if [ $# -lt 1 ] || [ $# -gt 3 ]; then
    echo "usage: bash tools/soak.sh REGEX [RUNS] [PRESET]"
    exit 2
fi
regex=$1 runs=${2:-20} preset=${3:-ci} load=${LOAD:-$(nproc)}

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -N -R "$regex" | tail -1

source tools/scratch.sh # $WORK keeps each run's log; PIDS holds stress-ng
if [ "$load" -gt 0 ]; then
    stress-ng --cpu "$load" --timeout 86400 --quiet &
    PIDS+=($!)
    echo "load: $load stress-ng workers on $(nproc) cores"
fi

failed=0
times=()
for run in $(seq 1 "$runs"); do
    log=$WORK/run$run.log
    start=$EPOCHREALTIME
    status=0
    ctest --preset "$preset" -R "$regex" --output-on-failure >"$log" 2>&1 || status=$?
    took=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')
    times+=("$took")
    if [ $status -eq 0 ]; then
        printf 'run %d/%d: passed in %.1f s\n' "$run" "$runs" "$took"
        continue
    fi
    failed=$((failed + 1))
    printf 'run %d/%d: FAILED in %.1f s (exit %d); its log: %s\n' "$run" "$runs" "$took" "$status" \
        "$log"
    sed -n '/The following tests FAILED/,$p' "$log" | sed 's/^/    /'
    grep -E 'kept: ' "$log" | sort -u | sed 's/^/    /' || true
done
printf '%s\n' "${times[@]}" | sort -g | awk -v runs="$runs" -v failed="$failed" '
    { t[NR] = $1; sum += $1 }
    END { printf "%d runs: %d passed, %d failed; per run: median %.1f s, longest %.1f s\n",
          runs, runs - failed, failed, t[int((NR + 1) / 2)], t[NR] }'
[ $failed -eq 0 ]
