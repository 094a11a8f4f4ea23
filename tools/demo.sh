#!/usr/bin/env bash
# The demo: builds the programs, then runs both protocols on 127.0.0.1.
#   Ticket protocol: gatekeep, server and client transfer a file, then each test switch is shown
#   with the check of the peer that catches it.
#   Password protocol: each lockbox build serves the conforming test client and shows its fault,
#   and latchkey-badjoin is refused by lockbox.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
ensure_deps "${DEPS_BUILD[@]}" "${DEPS_PEERCHECK[@]}"

echo "Building (release preset)..."
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
BIN=build/release/bin

source tools/scratch.sh  # $WORK and PIDS, ended and removed on exit

# The lines of one program's output, under its name; FILTER (a regular expression) drops the
# debug lines that do not matter for the case shown.
FILTER=''
show() {  # name, output file
    local first=1 line
    while IFS= read -r line || [ -n "$line" ]; do
        [ -n "$FILTER" ] && [[ $line =~ $FILTER ]] && continue
        if [ $first -eq 1 ]; then printf '    %-16s| %s\n' "$1" "$line"; first=0
        else printf '    %-16s| %s\n' "" "$line"; fi
    done <"$2"
    [ $first -eq 1 ] && printf '    %-16s| %s\n' "$1" "(nothing)"
    return 0
}

start() {  # output file, port, command...: starts a server and waits for its port
    local out=$1 port=$2
    shift 2
    "$@" >"$out" &
    PIDS+=($!)
    wait_udp_bound "$port" || { echo "server did not bind port $port"; cat "$out"; exit 1; }
}

stop_all() {
    sleep 0.3
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    PIDS=()
}

# ---------------------------------------------------------------- ticket protocol
CK=0123456789abcdef   # client key, shared by client and gatekeep
SK=fedcba9876543210   # server key, shared by server and gatekeep
head -c $((3 * 1024 * 1024 + 123)) /dev/urandom >"$WORK/served.bin"

# The client puts the first address of its own host name into the Authenticator; gatekeep puts
# the address the AS_REQ came from (127.0.0.1 on loopback) into the Ticket; server requires the
# two to agree. Where the host name resolves elsewhere (127.0.1.1 on a stock Debian host), the
# client's -T1 address offset moves its address back to 127.0.0.1.
HOST_ADDR=$(getent ahostsv4 "$(uname -n)" | awk 'NR == 1 { print $1 }')
le32() { local IFS=.; set -- $1; echo $(($1 + ($2 << 8) + ($3 << 16) + ($4 << 24))); }
OFFSET=0
echo
echo "== Ticket protocol =="
if [ -z "$HOST_ADDR" ]; then
    echo "The host name $(uname -n) does not resolve: the client could not fill its Authenticator."
    exit 1
elif [ "$HOST_ADDR" != 127.0.0.1 ]; then
    OFFSET=$(($(le32 127.0.0.1) - $(le32 "$HOST_ADDR")))
    echo "Host name $(uname -n) resolves to $HOST_ADDR, but datagrams to 127.0.0.1 leave from 127.0.0.1:"
    echo "the client runs with '-T1 $OFFSET' so that its Authenticator carries 127.0.0.1."
else
    echo "Host name $(uname -n) resolves to 127.0.0.1, the address the client's datagrams leave from."
fi

# ticket_run LABEL GATEKEEP_EXTRA SERVER_EXTRA CLIENT_EXTRA
ticket_run() {
    local label=$1 gk_extra=$2 server_extra=$3 client_extra=$4
    local gk_port server_port
    gk_port=$(free_udp_port)
    start "$WORK/gatekeep.out" "$gk_port" $BIN/gatekeep "$gk_port" alice $CK files $SK $gk_extra
    server_port=$(free_udp_port)
    start "$WORK/server.out" "$server_port" $BIN/server "$server_port" $SK "$WORK/served.bin" $server_extra
    rm -f "$WORK/received.bin"
    timeout 30 $BIN/client 127.0.0.1 "$gk_port" $CK 127.0.0.1 "$server_port" "$WORK/received.bin" \
        alice files $client_extra >"$WORK/client.out" || echo "(client timed out)" >>"$WORK/client.out"
    stop_all
    echo
    echo "-- $label"
    show gatekeep "$WORK/gatekeep.out"
    show server "$WORK/server.out"
    show client "$WORK/client.out"
}

plain_client=""
debug_client="-DDEBUG"
[ "$OFFSET" -ne 0 ] && plain_client="x -T1 $OFFSET" && debug_client="-DDEBUG -T1 $OFFSET"

ticket_run "A complete run (3 MiB file)" "" "" "$plain_client"
if cmp -s "$WORK/served.bin" "$WORK/received.bin"; then
    echo "    received file is identical to the served file ($(stat -c %s "$WORK/received.bin") bytes)"
fi

echo
echo "Test switches, each caught by a check of the peer (debug lines trimmed to those that matter):"
FILTER='Session key|client ip|local ip|timestamp|ID sent|nonce generated|still valid|received$|sent$|correct$|Sending AS_REP'
ticket_run "server -T1 5: the nonce answer is off by 5; the client's nonce check refuses it" \
    "" "-DDEBUG -T1 5" "$debug_client"
FILTER=''
FILTER='Session key|client ip|local ip|timestamp|ID sent|nonce generated|still valid|[Rr]eceived|sent|is correct$|correctly$|Sending AS_REP|^Nonce|^sending file|file digest'
ticket_run "server -T2: the digest says \"Wrong Hash\"; the client's digest check refuses it" \
    "" "x -T2 0" "$debug_client"
FILTER='still valid|received$|correct$'
ticket_run "client -T1 1: the Authenticator's address is shifted; the server's address check refuses it" \
    "" "-DDEBUG" "x -T1 $((OFFSET + 1))"
ticket_run "client -T2 x: the Authenticator names client \"x\"; the server's name check refuses it" \
    "" "-DDEBUG" "x -T2 x"
FILTER=''
ticket_run "gatekeep -T1 2: the session key was issued two hours ago; the client's validity check refuses it" \
    "x -T1 2" "" "$debug_client"

# ---------------------------------------------------------------- password protocol
# Every delivered password program carries one fault, so each meets a fault-free peer here, the
# ones peercheck ships: peercheck-pass-client (opens with JOIN_REQ, checks ids and digest) and
# peercheck-pass-server (also accepts the type-12 opening).
PW=opensesame
head -c $((2 * 1024 * 1024 + 2234)) /dev/urandom >"$WORK/pass.bin"
echo
echo "== Password protocol =="
echo

# password_run LABEL SECONDS SERVER_COMMAND... -- CLIENT_COMMAND...: the server on PORT, then the
# client, ended after SECONDS if it still waits (no password program ever gives up waiting).
password_run() {
    local label=$1 wait_limit=$2 port
    shift 2
    port=$(free_udp_port)
    local server=() client=()
    while [ "$1" != "--" ]; do server+=("${1//PORT/$port}"); shift; done
    shift
    for word in "$@"; do client+=("${word//PORT/$port}"); done
    start "$WORK/pserver.out" "$port" "${server[@]}"
    rm -f "$WORK/pass.out"
    timeout "$wait_limit" "${client[@]}" >"$WORK/pclient.out" ||
        echo "(still waiting for a reply after $wait_limit s: ended by the demo)" >>"$WORK/pclient.out"
    stop_all
    echo
    echo "-- $label"
    show server "$WORK/pserver.out"
    show client "$WORK/pclient.out"
}

for build in badhash skipid badreq; do
    case $build in
        badhash) what="TERMINATE's digest begins with \"Wrong Hash\": the client's digest check catches it" ;;
        skipid) what="DATA ids go 1, 3, 5: the client's packet-id check catches it at the second DATA" ;;
        badreq) what="PASS_REQ has type 12: the client's first check refuses it and never answers" ;;
    esac
    FILTER='^(sending file!|receiving file)$'
    password_run "lockbox-$build with the test client, second password right: $what" 30 \
        $BIN/lockbox-$build PORT $PW "$WORK/pass.bin" -DDEBUG -- \
        $BIN/peercheck-pass-client 127.0.0.1 PORT wrong $PW unused "$WORK/pass.out" -DDEBUG
done
FILTER=''
password_run "latchkey-badjoin with lockbox-badhash: its opening has type 12; lockbox refuses it and stops" 2 \
    $BIN/lockbox-badhash PORT $PW "$WORK/pass.bin" -DDEBUG -- \
    $BIN/latchkey-badjoin 127.0.0.1 PORT $PW $PW $PW "$WORK/pass.out" -DDEBUG
password_run "latchkey-badjoin with the test server, which accepts its opening: a complete run" 30 \
    $BIN/peercheck-pass-server PORT $PW "$WORK/pass.bin" -- \
    $BIN/latchkey-badjoin 127.0.0.1 PORT first $PW third "$WORK/pass.out"
if cmp -s "$WORK/pass.bin" "$WORK/pass.out"; then
    echo "    received file is identical to the served file ($(stat -c %s "$WORK/pass.out") bytes)"
fi

# ---------------------------------------------------------------- peercheck
echo
echo "== peercheck: testing an implementation against these peers =="
echo
echo "-- our client as the client under test, every case (the summary line):"
$BIN/peercheck client -j 2 -- $BIN/client | tail -1
echo
echo "-- our server with -T2 (a wrong digest) as the server under test, the check cases:"
$BIN/peercheck server -j 2 server/check/ -- $BIN/server {serverport} {gatekeeperkey} {inputfile} \
    -DDEBUG -T2 x | grep -v '^        | sending file!$' || true
