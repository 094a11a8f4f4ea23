#!/usr/bin/env bash
# Ticket-protocol transfer benchmark: builds the release preset, starts gatekeep and server on
# 127.0.0.1, fetches each file size several times with client, and prints the median MB/s of file
# data, the successful runs, the peak RSS of client and server, and this machine's single-core
# sealing speed with the ratio of the two.
#
#   bash bench/ticket_bench.sh [runs per size]      (default 10; sizes in MiB: SIZES="64 256")
#
# MB is 10^6 bytes. A run succeeds when client prints "OK" and the received file equals the
# served one. The time of a run is the client's whole life, from start to its digest check.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-10}
sizes=${SIZES:-"64 256"}

cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release --target gatekeep server client seal_speed -j2 >/dev/null
bin=$root/build/release/bin

source "$root/bench/lib.sh"

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
# The sealing speed is measured again before each size, so that the ratio compares figures taken
# under the same load from other processes.
echo "sealing: one core, 984-byte units, IV reset before each"
printf '%-9s %-12s %-11s %-6s %-8s %-16s %-16s\n' size median sealing ratio "ok/runs" "client peak RSS" \
    "server peak RSS"

key_c=0123456789abcdef
key_s=fedcba9876543210
for mib in $sizes; do
    seal=$("$bin/seal_speed" 3)
    head -c $((mib << 20)) /dev/urandom >"$WORK/served.bin"
    gk_port=$(free_port)
    "$bin/gatekeep" "$gk_port" alice "$key_c" files "$key_s" >"$WORK/gatekeep.out" &
    gk_pid=$!
    PIDS+=("$gk_pid")
    sv_port=$(free_port)
    "$bin/server" "$sv_port" "$key_s" "$WORK/served.bin" >"$WORK/server.out" &
    sv_pid=$!
    PIDS+=("$sv_pid")
    wait_bound "$gk_port"
    wait_bound "$sv_port"

    ok=0
    client_rss=0
    rates=()
    for run in $(seq "$runs"); do
        rm -f "$WORK/received.bin"
        start=$(date +%s.%N)
        # A lost datagram leaves the client waiting for ever; a run that long has failed.
        timeout 120 /usr/bin/time -f %M -o "$WORK/rss" "$bin/client" 127.0.0.1 "$gk_port" "$key_c" \
            127.0.0.1 "$sv_port" "$WORK/received.bin" alice files >"$WORK/client.out" || true
        end=$(date +%s.%N)
        rss=$(tail -n 1 "$WORK/rss")
        ((rss > client_rss)) && client_rss=$rss
        if [[ "$(cat "$WORK/client.out")" == "OK" ]] && cmp -s "$WORK/served.bin" "$WORK/received.bin"; then
            ok=$((ok + 1))
            rates+=("$(awk -v b=$((mib << 20)) -v s="$start" -v e="$end" 'BEGIN {printf "%.1f", b / (e - s) / 1e6}')")
        else
            echo "run $run of $mib MiB failed: $(tr '\n' ' ' <"$WORK/client.out")" >&2
        fi
    done
    server_rss=$(hwm_kib "$sv_pid")
    kill "$sv_pid" "$gk_pid"
    wait "$sv_pid" "$gk_pid" 2>/dev/null || true
    if ((${#rates[@]} > 0)); then
        med=$(printf '%s\n' "${rates[@]}" | median)
        ratio=$(awk -v m="$med" -v s="$seal" 'BEGIN {printf "%.2f", m / s}')
    else
        med=- ratio=-
    fi
    printf '%-9s %-12s %-11s %-6s %-8s %-16s %-16s\n' "$mib MiB" "$med MB/s" "$seal MB/s" "$ratio" "$ok/$runs" \
        "$((client_rss / 1024)) MiB" "$((server_rss / 1024)) MiB"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
