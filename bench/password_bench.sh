#!/usr/bin/env bash
# Password-protocol transfer benchmark: builds the release preset, then on 127.0.0.1
#   - lockbox-badhash streams the file to the fault-free test client (pass-peer-client), and
#   - latchkey-badjoin fetches it from the fault-free test server (pass-peer-server),
# each size several times, and prints the median MB/s of file data, the successful runs, the peak
# RSS of both ends, and, measured after every run under the same load, a bare loopback UDP stream
# of 1012-byte datagrams between two processes (udp_stream) with the ratio of the two.
#
#   bash bench/password_bench.sh [runs per size]      (default 10; sizes in MiB: SIZES="64 256")
#
# MB is 10^6 bytes. The time of a run is the client's whole life, from its start to its digest
# check. A run succeeds when the received file equals the served one and the client got as far as
# the digest: "OK" from latchkey-badjoin; "incorrect checksum" from the test client, which is how
# it refuses lockbox-badhash's deliberately wrong digest. A lost datagram leaves a client waiting
# for ever, so a run that outlives its time limit has failed. The output file of the previous run
# is left in place, so every run after the first also truncates an existing file.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-10}
sizes=${SIZES:-"64 256"}

cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release -j2 \
    --target lockbox-badhash latchkey-badjoin pass-peer-client pass-peer-server udp_stream >/dev/null
bin=$root/build/release/bin
peers=$root/build/release/tests

source "$root/bench/lib.sh"

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores, compilers running: $(compilers)"
printf '%-37s %-8s %-12s %-12s %-6s %-8s %-15s %-15s\n' transfer size median stream ratio ok/runs \
    "client peak RSS" "server peak RSS"

# run_pair <label> <mib> <server command...> -- <client command with @PORT@ and @OUT@...>
# The client's last output line must equal $want for a run to count.
run_pair() {
    local label=$1 mib=$2
    shift 2
    local server=() client=()
    while [[ $1 != -- ]]; do server+=("$1"); shift; done
    shift
    client=("$@")
    local port
    port=$(free_port)
    "${server[@]/@PORT@/$port}" >"$work/server.out" &
    local sv_pid=$!
    pids+=("$sv_pid")
    wait_bound "$port"
    local ok=0 client_rss=0 rates=() streams=() datagrams=$(((mib << 20) / 1000 + 1))
    local limit=$((5 + mib / 16))
    for run in $(seq "$runs"); do
        local cmd=("${client[@]/@PORT@/$port}")
        cmd=("${cmd[@]/@OUT@/$work/received.bin}")
        local start end rss
        start=$(date +%s.%N)
        timeout "$limit" /usr/bin/time -f %M -o "$work/rss" "${cmd[@]}" >"$work/client.out" || true
        end=$(date +%s.%N)
        rss=$(tail -n 1 "$work/rss" | grep -E '^[0-9]+$' || echo 0)
        ((rss > client_rss)) && client_rss=$rss
        if [[ "$(tail -n 2 "$work/client.out" | head -n 1)" == "$want" || "$(tail -n 1 "$work/client.out")" == "$want" ]] &&
            cmp -s "$work/served.bin" "$work/received.bin"; then
            ok=$((ok + 1))
            rates+=("$(awk -v b=$((mib << 20)) -v s="$start" -v e="$end" 'BEGIN {printf "%.1f", b / (e - s) / 1e6}')")
        else
            echo "$label, $mib MiB, run $run failed: $(tail -n 2 "$work/client.out" | tr '\n' ' ')" >&2
        fi
        streams+=("$("$bin/udp_stream" "$datagrams" | cut -d' ' -f1)")
    done
    local server_rss
    server_rss=$(hwm_kib "$sv_pid")
    kill "$sv_pid"
    wait "$sv_pid" 2>/dev/null || true
    local med=- ratio=- stream
    stream=$(printf '%s\n' "${streams[@]}" | median)
    if ((${#rates[@]} > 0)); then
        med=$(printf '%s\n' "${rates[@]}" | median)
        ratio=$(awk -v m="$med" -v s="$stream" 'BEGIN {printf "%.2f", m / s}')
    fi
    printf '%-37s %-8s %-12s %-12s %-6s %-8s %-15s %-15s\n' "$label" "$mib MiB" "$med MB/s" "$stream MB/s" \
        "$ratio" "$ok/$runs" "$((client_rss / 1024)) MiB" "$((server_rss / 1024)) MiB"
}

for mib in $sizes; do
    head -c $((mib << 20)) /dev/urandom >"$work/served.bin"
    rm -f "$work/received.bin"
    want="incorrect checksum"
    run_pair "lockbox-badhash -> pass-peer-client" "$mib" \
        "$bin/lockbox-badhash" @PORT@ secret "$work/served.bin" -- \
        "$peers/pass-peer-client" 127.0.0.1 @PORT@ wrong secret other @OUT@ -DDEBUG
    rm -f "$work/received.bin"
    want="OK"
    run_pair "pass-peer-server -> latchkey-badjoin" "$mib" \
        "$peers/pass-peer-server" @PORT@ secret "$work/served.bin" -- \
        "$bin/latchkey-badjoin" 127.0.0.1 @PORT@ wrong secret other @OUT@
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg), compilers running: $(compilers)"
