#!/usr/bin/env bash
# Password-protocol transfer benchmark: builds the release preset, then on 127.0.0.1
#   - lockbox-badhash streams the file to peercheck-pass-client, the fault-free password client
#     that peercheck ships, and
#   - latchkey-badjoin fetches it from peercheck-pass-server, the fault-free server beside it,
# each size several times, and prints the median MB/s of file data, the successful runs, the peak
# RSS of both ends, the server's sending rate and, measured after every run under the same load, a
# bare loopback UDP stream of 1012-byte datagrams between two processes (udp_stream): its sending
# rate, its receiving rate, and the ratio of the transfer's median to the latter.
#
#   bash bench/password_bench.sh [runs per size]          (default 10, or RUNS)
#   RUNS=10 SIZES="256 1024 2048:5" bash bench/password_bench.sh
#   PROGRAMS=/path/to/other/build/release bash bench/password_bench.sh
#
# SIZES are in MiB (default "64 256"); a size may carry its own number of runs after a colon.
# PROGRAMS measures the programs and test peers of another build tree (another checkout, for a
# before-and-after comparison in one session); udp_stream always comes from this tree. Files of
# 1 and 2 GiB need twice their size free under /tmp; every file is removed at the end.
#
# MB is 10^6 bytes. The time of a run is the client's whole life, from its start to its digest
# check; the sending rate runs from PASS_ACCEPT to the last DATA (the test server's debug lines
# "password correct" and "file sended!"; lockbox-badhash, whose debug output would slow it, from
# the test client's "PASS_ACCEPT received" to the server's "OK"). A run succeeds when the
# received file equals the served one and the client got as far as the digest: "OK" from
# latchkey-badjoin; "incorrect checksum" from the test client, which is how it refuses
# lockbox-badhash's deliberately wrong digest. A lost datagram can leave a client waiting for
# ever, so a run that outlives its time limit has failed. The output file of the previous run is
# left in place, so every run after the first also overwrites an existing file. Each row ends
# with the load average (1 minute) before and after it.
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "$0")/.." && pwd)
runs_default=${1:-${RUNS:-10}}
sizes=${SIZES:-"64 256"}

cd "$root"
cmake --preset release >/dev/null
if [[ -n ${PROGRAMS:-} ]]; then
    cmake --build --preset release -j2 --target udp_stream >/dev/null
    bin=$PROGRAMS/bin
else
    cmake --build --preset release -j2 --target lockbox-badhash latchkey-badjoin \
        peercheck-pass-client peercheck-pass-server udp_stream >/dev/null
    bin=$root/build/release/bin
fi
stream_bin=$root/build/release/bin/udp_stream

source "$root/bench/lib.sh"

echo "programs: $bin"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores, compilers running: $(compilers)"
row='%-37s %-8s %-11s %-7s %-9s %-9s %-11s %-11s %-11s %-6s %s\n'
printf "$row" transfer size median ok/runs "client RSS" "server RSS" sending "stream send" \
    "stream recv" ratio load

# Prefixes every line read with the time it arrived (the programs flush each line at once).
stamp() { while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done; }
# The arrival time of the n-th line <text> in <file>, once it is there (limit in seconds).
nth_line() {
    local file=$1 text=$2 n=$3 limit=$4 t
    for _ in $(seq $((limit * 50))); do
        t=$(awk -v n="$n" -v text="$text" \
            '{t = $1; sub(/^[^ ]* /, "")} $0 == text {if (++k == n) {print t; exit}}' "$file")
        [[ -n $t ]] && { echo "$t"; return; }
        sleep 0.02
    done
}
mbs() { awk -v b="$1" -v s="$2" -v e="$3" 'BEGIN {printf "%.1f", b / (e - s) / 1e6}'; }

# run_pair <label> <mib> <server command...> -- <client command with @PORT@ and @OUT@...>
# The client's last output line must equal $want for a run to count. The sending time runs from
# the n-th line $send_from to the n-th line $send_to, each "client:<line>" or "server:<line>".
run_pair() {
    local label=$1 mib=$2
    shift 2
    local server=() client=()
    while [[ $1 != -- ]]; do server+=("$1"); shift; done
    shift
    client=("$@")
    local port load_before
    load_before=$(cut -d' ' -f1 /proc/loadavg)
    port=$(free_port)
    rm -f "$WORK/client.out"
    "${server[@]/@PORT@/$port}" > >(stamp >"$WORK/server.out") &
    local sv_pid=$!
    PIDS+=("$sv_pid")
    wait_bound "$port"
    local ok=0 client_rss=0 rates=() sends=() streams=() stream_sends=() bytes=$((mib << 20))
    local datagrams=$((bytes / 1000 + 1)) limit=$((10 + mib / 32))
    for run in $(seq "$runs"); do
        local cmd=("${client[@]/@PORT@/$port}")
        cmd=("${cmd[@]/@OUT@/$WORK/received.bin}")
        local start end rss sent
        start=$EPOCHREALTIME
        { timeout "$limit" /usr/bin/time -f %M -o "$WORK/rss" "${cmd[@]}" || true; } |
            stamp >>"$WORK/client.out"
        end=$EPOCHREALTIME
        rss=$(tail -n 1 "$WORK/rss" | grep -E '^[0-9]+$' || echo 0)
        ((rss > client_rss)) && client_rss=$rss
        # The next run starts once the server is done with this one.
        local from to
        from=$(nth_line "$WORK/${send_from%%:*}.out" "${send_from#*:}" "$run" 1)
        to=$(nth_line "$WORK/${send_to%%:*}.out" "${send_to#*:}" "$run" "$limit")
        [[ -n $from && -n $to ]] && sends+=("$(mbs "$bytes" "$from" "$to")")
        local last
        last=$(tail -n 2 "$WORK/client.out" | cut -d' ' -f2-)
        if [[ "$(head -n 1 <<<"$last")" == "$want" || "$(tail -n 1 <<<"$last")" == "$want" ]] &&
            cmp -s "$WORK/served.bin" "$WORK/received.bin"; then
            ok=$((ok + 1))
            rates+=("$(mbs "$bytes" "$start" "$end")")
        else
            echo "$label, $mib MiB, run $run failed: $(tr '\n' ' ' <<<"$last")" >&2
        fi
        local stream
        stream=$("$stream_bin" "$datagrams")
        streams+=("$(cut -d' ' -f1 <<<"$stream")")
        stream_sends+=("$(cut -d' ' -f4 <<<"$stream")")
    done
    local server_rss
    server_rss=$(hwm_kib "$sv_pid")
    kill "$sv_pid"
    wait "$sv_pid" 2>/dev/null || true
    local med=- ratio=- send=- stream stream_send
    stream=$(printf '%s\n' "${streams[@]}" | median)
    stream_send=$(printf '%s\n' "${stream_sends[@]}" | median)
    ((${#sends[@]} > 0)) && send=$(printf '%s\n' "${sends[@]}" | median)
    if ((${#rates[@]} > 0)); then
        med=$(printf '%s\n' "${rates[@]}" | median)
        ratio=$(awk -v m="$med" -v s="$stream" 'BEGIN {printf "%.2f", m / s}')
    fi
    printf "$row" "$label" "$mib MiB" "$med MB/s" "$ok/$runs" "$((client_rss / 1024)) MiB" \
        "$((server_rss / 1024)) MiB" "$send MB/s" "$stream_send MB/s" "$stream MB/s" "$ratio" \
        "$load_before -> $(cut -d' ' -f1 /proc/loadavg)"
}

for spec in $sizes; do
    mib=${spec%%:*}
    runs=$runs_default
    [[ $spec == *:* ]] && runs=${spec#*:}
    rm -f "$WORK/served.bin" "$WORK/received.bin"
    head -c $((mib << 20)) /dev/urandom >"$WORK/served.bin"
    want="incorrect checksum" send_from="client:PASS_ACCEPT received" send_to="server:OK"
    run_pair "lockbox-badhash -> peercheck-pass-client" "$mib" \
        "$bin/lockbox-badhash" @PORT@ secret "$WORK/served.bin" -- \
        "$bin/peercheck-pass-client" 127.0.0.1 @PORT@ wrong secret other @OUT@ -DDEBUG
    rm -f "$WORK/received.bin"
    want="OK" send_from="server:password correct" send_to="server:file sended!"
    run_pair "peercheck-pass-server -> latchkey-badjoin" "$mib" \
        "$bin/peercheck-pass-server" @PORT@ secret "$WORK/served.bin" -DDEBUG -- \
        "$bin/latchkey-badjoin" 127.0.0.1 @PORT@ wrong secret other @OUT@
done
rm -f "$WORK/served.bin" "$WORK/received.bin"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg), compilers running: $(compilers)"
