#!/usr/bin/env bash
# The Wireshark plugin, read back through tshark:
#   - on datagrams written by hand, some sealed with openssl (lengths past their areas, a key
#     without parity, unrelated UDP, Decode As and the preferences);
#   - on one loopback capture of real runs of our programs: complete runs of both protocols and
#     one run per test switch or fault build, each on ports of its own;
#   - on copies of the complete ticket run: one envelope removed, one repeated, all two hours
#     late, and read with one key, with the other, without lua-luaossl.
# Environment: BIN (the folder of the programs and the fault-free password peers), PLUGIN (the file).
# Exits 77 (skipped) where tshark, dumpcap or lua-luaossl is missing or capture is not permitted.
# Where it may (as root, with unshare and ip), the test runs in a network namespace of its own:
# then no other process can bind one of the ports it has chosen before its server does, nor
# send on them, and the capture holds this test's datagrams alone. Elsewhere it shares loopback.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../tools/deps.sh"
: "${BIN:?}" "${PLUGIN:?}"

if [ -z "${DISSECTOR_TEST_NETNS:-}" ] && [ "$(id -u)" -eq 0 ] && command -v ip >/dev/null &&
    unshare --net true 2>/dev/null; then
    exec env DISSECTOR_TEST_NETNS=1 unshare --net bash "$0" "$@"
fi
if [ -n "${DISSECTOR_TEST_NETNS:-}" ]; then
    ip link set lo up || { echo "cannot bring up loopback in the test's namespace"; exit 1; }
    echo "in a network namespace of its own"
fi

skip() { echo "SKIPPED: $*"; exit 77; }
for tool in tshark dumpcap text2pcap editcap mergecap; do
    command -v $tool >/dev/null || skip "$tool is missing (Debian package tshark)"
done

source "$here/../../tools/scratch.sh"  # $WORK and PIDS; the folder is kept when a check fails

# A home of its own keeps personal preferences and personal plugins out of every tshark run.
export HOME=$WORK/home
mkdir -p "$HOME"
if tshark -G protocols 2>/dev/null | grep -q $'\ttkxfer$'; then
    skip "an installed copy of the plugin is loaded already; this test checks $PLUGIN"
fi
CK=0123456789abcdef
SK=fedcba9876543210
TS=(tshark -n -X "lua_script:$PLUGIN" -o "tkxfer.client_key:$CK" -o "tkxfer.server_key:$SK")
probe=$(echo 'print(pcall(require, "openssl.cipher"))' >"$WORK/probe.lua" &&
        tshark -G protocols -X "lua_script:$WORK/probe.lua" 2>/dev/null | head -1)
[[ $probe == true* ]] || skip "lua-luaossl does not load in tshark's Lua: nothing can be unsealed"

failures=0
check() {  # description, expected, actual
    if [ "$2" == "$3" ]; then
        echo "ok    $1"
    else
        echo "FAIL  $1"
        echo "      expected: $2"
        echo "      got:      $3"
        failures=$((failures + 1))
    fi
}
count() {  # capture, display filter: number of matching datagrams
    "${TS[@]}" -r "$1" -Y "$2" 2>/dev/null | wc -l
}
fields() {  # capture, display filter, field...: one line per datagram, values separated by ' '
    local cap=$1 filter=$2 args=()
    shift 2
    for f in "$@"; do args+=(-e "$f"); done
    "${TS[@]}" -r "$cap" -Y "$filter" -T fields -E separator=' ' -E occurrence=f "${args[@]}" \
        2>/dev/null
}
# Datagram files ($WORK/craft/NNN.bin) as one capture from one port pair.
to_pcap() {  # output, source port, destination port, payload files...
    local out=$1 sport=$2 dport=$3
    shift 3
    for f in "$@"; do od -Ax -tx1 -v "$f"; done >"$out.txt"
    text2pcap -q -4 127.0.0.1,127.0.0.1 -u "$sport,$dport" "$out.txt" "$out" >/dev/null 2>&1
}
payload() {  # name, printf format of the leading bytes, total size: zero bytes fill the rest
    local head=$WORK/craft/$1.head
    printf "$2" >"$head"
    { cat "$head"; head -c $(($3 - $(stat -c %s "$head"))) /dev/zero; } >"$WORK/craft/$1.bin"
}
mkdir -p "$WORK/craft"

# ------------------------------------------------------------------ datagrams written by hand
payload as_rep  '\x00\x02\x00\xc8' 172                    # length 200, body area 168
payload ap_req  '\x00\x04\x00\x69\x00\x31' 158            # lengths 105 and 49, areas 104 and 48
payload ap_rep  '\x00\x05\x00\x11' 24                     # length 17, three sealed blocks
payload krb_prv '\x00\x07\x03\xd3' 988                    # length 979, inner message 978
payload resp    '\x00\x03\x00\x00\x00\x00\x00\x35' 60     # length 53, password field 52
payload data    '\x00\x05\x00\x00\x00\x00\x03\xe9\x00\x00\x00\x01' 1012  # length 1001
payload term    '\x00\x06\x00\x00\x00\x00\x00\x15' 28     # length 21, digest 20
cd "$WORK/craft"
to_pcap "$WORK/lengths.pcap" 40000 40001 as_rep.bin ap_req.bin ap_rep.bin krb_prv.bin resp.bin \
    data.bin term.bin
cd - >/dev/null
check "a length past its area is flagged in each of the 7 messages that carry one" \
    "7" "$(count "$WORK/lengths.pcap" 'tkxfer.length_beyond_area or pwxfer.length_beyond_area')"
check "the datagrams stay readable: AS_REP AP_REQ AP_REP KRB_PRV PASS_RESP DATA TERMINATE" \
    "2 4 5 7 3 5 6" "$(fields "$WORK/lengths.pcap" '' tkxfer.type pwxfer.type | xargs)"

# A DNS query on its own port and on another, and random payloads of random sizes: none of them
# has a type and a size that fit a message.
printf '\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x07example\x03org\x00\x00\x01\x00\x01' \
    >"$WORK/craft/dns.bin"
to_pcap "$WORK/dns.pcap" 40002 53 "$WORK/craft/dns.bin"
to_pcap "$WORK/dns_high.pcap" 40002 40003 "$WORK/craft/dns.bin"
for i in $(seq 1 60); do head -c $((RANDOM % 1400 + 1)) /dev/urandom >"$WORK/craft/rand$i.bin"; done
to_pcap "$WORK/random.pcap" 40004 40005 "$WORK"/craft/rand*.bin
check "a DNS query is left to DNS" "1 0" \
    "$(count "$WORK/dns.pcap" dns) $(count "$WORK/dns.pcap" 'tkxfer or pwxfer')"
ours='tkxfer or pwxfer'
check "unrelated UDP gets no dissection" "0 0" \
    "$(count "$WORK/dns_high.pcap" "$ours") $(count "$WORK/random.pcap" "$ours")"
# Sealed parts written by hand: three-key DES with one key three times is the peers' DES.
seal() {  # key (16 hex digits), plain file (a multiple of 8 bytes): sealed bytes on stdout
    openssl enc -des-ede3-cbc -nopad -K "$1$1$1" -iv 5AC3E10F7B2496D8 -in "$2"
}
cd "$WORK/craft"
session=1c1c1c1c1c1c1c1c
printf '\x1c\x1c\x1c\x1c\x1c\x1c\x1c\x1c' >body.plain
head -c 160 /dev/zero >>body.plain
{ printf '\x00\x02\x00\xa8'; seal $CK body.plain; } >s_as_rep.bin   # Ticket area: zero bytes
head -c 48 /dev/zero >auth.plain
{ printf '\x00\x04\x00\x68\x00\x30'; head -c 104 /dev/zero; seal $session auth.plain; } \
    >s_ap_req.bin
{ printf '\x00\x0f\x03\xcd\x00\x01'; head -c 978 /dev/zero; } >inner.plain  # data length 973
{ printf '\x00\x07\x03\xd2'; seal $session inner.plain; } >s_krb_prv.bin
to_pcap "$WORK/inner.pcap" 40006 40007 s_as_rep.bin s_ap_req.bin s_krb_prv.bin
head -c 168 /dev/zero >zero.plain
{ printf '\x00\x02\x00\xa8'; seal $CK zero.plain; } >s_zero_key.bin
to_pcap "$WORK/zero_key.pcap" 40008 40009 s_zero_key.bin
cd - >/dev/null
check "a data length past the inner message's 972 bytes is flagged once unsealed" "973 1" \
    "$(fields "$WORK/inner.pcap" tkxfer.type==7 tkxfer.inner.data_length) $(count \
        "$WORK/inner.pcap" tkxfer.length_beyond_area)"
check "an unsealed session key without odd parity is flagged" "1" \
    "$(count "$WORK/zero_key.pcap" tkxfer.bad_key)"

check "Decode As claims a port, unknown types included" "60" \
    "$("${TS[@]}" -r "$WORK/random.pcap" -d udp.port==40005,pwxfer -Y pwxfer 2>/dev/null | wc -l)"
check "the heuristic preference turned off leaves the datagrams alone" "4 0" \
    "$("${TS[@]}" -o pwxfer.heuristic:FALSE -r "$WORK/lengths.pcap" -Y tkxfer 2>/dev/null | wc -l) \
$("${TS[@]}" -o pwxfer.heuristic:FALSE -r "$WORK/lengths.pcap" -Y pwxfer 2>/dev/null | wc -l)"
check "the port preference claims a port" "1" \
    "$("${TS[@]}" -o tkxfer.ports:40003 -r "$WORK/dns_high.pcap" -Y tkxfer 2>/dev/null | wc -l)"

# The plugin also loads from the personal plugin folder, as the README tells users to install it.
mkdir -p "$HOME/.local/lib/wireshark/plugins"
cp "$PLUGIN" "$HOME/.local/lib/wireshark/plugins/"
check "loaded from the personal plugin folder" "2" \
    "$(tshark -G protocols 2>/dev/null | grep -cE $'\t(tk|pw)xfer$')"
rm "$HOME/.local/lib/wireshark/plugins/$(basename "$PLUGIN")"

# ------------------------------------------------------------------ one capture of real runs
# Every port is chosen before the capture starts, so its filter names them all; below the
# kernel's ephemeral range, so that no client socket takes one of them in the meantime. Outside a
# namespace of its own, another program that picks ports there (peercheck does) may still take one.
ports=()
while [ ${#ports[@]} -lt 20 ]; do
    p=$(free_udp_port)
    [ "$p" -lt 32768 ] && [[ " ${ports[*]} " != *" $p "* ]] && ports+=("$p")
done
filter="udp and ($(printf 'port %s or ' "${ports[@]}") port 0)"
dumpcap -q -i lo -B 64 -f "$filter" -w "$WORK/runs.pcapng" 2>"$WORK/dumpcap.err" &
dumpcap_pid=$!
PIDS+=("$dumpcap_pid")
# dumpcap announces the capture before it opens the device; the file appears once it has.
for _ in $(seq 1 50); do
    kill -0 "$dumpcap_pid" 2>/dev/null || break
    [ -s "$WORK/runs.pcapng" ] && break
    sleep 0.1
done
if ! kill -0 "$dumpcap_pid" 2>/dev/null || [ ! -s "$WORK/runs.pcapng" ]; then
    [ $failures -eq 0 ] || exit 1
    skip "capture on lo is not permitted here ($(grep -m1 -v '^Capturing' "$WORK/dumpcap.err"))." \
        "Only the checks on datagrams written by hand ran."
fi

# The client puts the first address of its host name into the Authenticator; where that is not
# 127.0.0.1 (a stock Debian host maps its name to 127.0.1.1), its -T1 offset moves it back.
host_addr=$(getent ahostsv4 "$(uname -n)" | awk 'NR == 1 { print $1 }')
le32() { local IFS=.; set -- $1; echo $(($1 + ($2 << 8) + ($3 << 16) + ($4 << 24))); }
offset=$(($(le32 127.0.0.1) - $(le32 "${host_addr:-127.0.0.1}")))

head -c 100000 /dev/urandom >"$WORK/served.bin"
head -c 5500 /dev/urandom >"$WORK/pass.bin"
next=0
take_port() { taken=${ports[$next]}; next=$((next + 1)); }
start() {  # port, command...: a server, once its port is bound; its output in $WORK/<port>.out
    local p=$1
    shift
    echo "$*" >"$WORK/$p.out"
    "$@" >>"$WORK/$p.out" &
    PIDS+=($!)
    wait_udp_bound "$p" || echo "server on port $p did not start: $*"
}
# Ends the servers of a run; with a word, once the output of the server on port $2 holds it
# (a server that goes on sending after its client has given up must not be cut short).
stop_servers() {
    if [ $# -gt 0 ]; then
        for _ in $(seq 1 100); do grep -qx "$1" "$WORK/$2.out" && break; sleep 0.1; done
    fi
    sleep 0.2
    for p in "${PIDS[@]}"; do [ "$p" != "$dumpcap_pid" ] && kill "$p" 2>/dev/null; done
    PIDS=("$dumpcap_pid")
}

# ticket_run GATEKEEP_WORDS SERVER_WORDS CLIENT_ID CLIENT_WORDS: the run's ports in gk and sv
ticket_run() {
    take_port; gk=$taken
    take_port; sv=$taken
    start "$gk" "$BIN/gatekeep" "$gk" alice $CK files $SK $1
    start "$sv" "$BIN/server" "$sv" $SK "$WORK/served.bin" $2
    timeout 10 "$BIN/client" 127.0.0.1 "$gk" $CK 127.0.0.1 "$sv" "$WORK/received.bin" "$3" files \
        $4 >"$WORK/$sv.client.out"
    stop_servers
}
# password_run SERVER_PROGRAM CLIENT_PROGRAM PASSWORDS...: the server's port in pp. With
# SERVER_ENDS set, the server is ended only once it has printed that line.
password_run() {
    take_port; pp=$taken
    start "$pp" "$1" "$pp" opensesame "$WORK/pass.bin"
    timeout 3 "$2" 127.0.0.1 "$pp" "${@:3}" "$WORK/pass.out" >"$WORK/$pp.client.out"
    stop_servers ${SERVER_ENDS:+"$SERVER_ENDS" "$pp"}
}
ticket_run "" "" alice "x -T1 $offset"; t_gk=$gk t_sv=$sv
ticket_run "" "-DDEBUG -T1 5" alice "x -T1 $offset"; n_sv=$sv
ticket_run "" "x -T2 0" alice "x -T1 $offset"; h_sv=$sv
ticket_run "" "" alice "x -T1 $((offset + 1))"; a_sv=$sv
ticket_run "" "" alice "x -T2 x"; i_sv=$sv
ticket_run "x -T1 2" "" alice "x -T1 $offset"; e_gk=$gk
ticket_run "" "" mallory "x -T1 $offset"; w_gk=$gk
password_run "$BIN/peercheck-pass-server" "$BIN/peercheck-pass-client" wrong opensesame x; p_ok=$pp
password_run "$BIN/lockbox-badhash" "$BIN/peercheck-pass-client" opensesame x y; p_hash=$pp
# The client gives up at the second DATA; the server sends the other four and TERMINATE.
SERVER_ENDS=OK password_run "$BIN/lockbox-skipid" "$BIN/peercheck-pass-client" opensesame x y
p_skip=$pp
password_run "$BIN/lockbox-badreq" "$BIN/peercheck-pass-client" opensesame x y; p_req=$pp
password_run "$BIN/lockbox-badhash" "$BIN/latchkey-badjoin" opensesame x y; p_join=$pp
password_run "$BIN/lockbox-badhash" "$BIN/peercheck-pass-client" x y z; p_rej=$pp
sleep 0.3
kill -INT "$dumpcap_pid"
for _ in $(seq 1 50); do kill -0 "$dumpcap_pid" 2>/dev/null || break; sleep 0.1; done
cap=$WORK/runs.pcapng

on() { local IFS=,; echo "udp.port in {$*}"; }  # the datagrams of one run
warnings='_ws.expert.severity >= 0x00600000'  # warnings and errors

# The complete runs: a 100,000-byte file (103 chunks) by ticket, 5,500 bytes (6 DATA) by
# password with the first password wrong.
check "ticket run: every datagram type, in order" \
    "1 2 4 5 7 14 7 15" "$(fields "$cap" "$(on $t_gk $t_sv)" tkxfer.type tkxfer.inner.type |
        head -6 | xargs)"
body_key=$(fields "$cap" "$(on $t_gk) && tkxfer.type == 2" tkxfer.body.session_key)
check "ticket run: the AS_REP body's session key is the Ticket's, and the Ticket's facts" \
    "$body_key alice 127.0.0.1 files" \
    "$(fields "$cap" "$(on $t_sv) && tkxfer.type == 4" tkxfer.ticket.session_key \
        tkxfer.ticket.client_id tkxfer.ticket.client_addr tkxfer.ticket.server_id)"
check "ticket run: the AP_REP answer is the Authenticator's nonce plus one" \
    "$(($(fields "$cap" "$(on $t_sv) && tkxfer.type == 4" tkxfer.auth.nonce) + 1))" \
    "$(fields "$cap" "$(on $t_sv) && tkxfer.type == 5" tkxfer.ap_rep.answer)"
check "ticket run: APP_DATA ids run 1..103" "$(seq -s ' ' 1 103)" \
    "$(fields "$cap" "$(on $t_sv) && tkxfer.inner.type == 15" tkxfer.inner.packet_id | xargs)"
check "ticket run: the data seen is the file" \
    "$(od -An -tx1 -v "$WORK/served.bin" | tr -d ' \n' | sha1sum)" \
    "$(fields "$cap" "$(on $t_sv) && tkxfer.inner.type == 15" tkxfer.inner.data | tr -d '\n' |
        sha1sum)"
check "ticket run: the digest matches" "$(sha1sum <"$WORK/served.bin" | cut -c1-40) 1" \
    "$(fields "$cap" "$(on $t_sv) && tkxfer.inner.type == 16" tkxfer.inner.digest \
        tkxfer.inner.digest_ok)"
check "ticket run: one run number after AS_REQ, on both of the client's sockets" "1" \
    "$(fields "$cap" "$(on $t_gk $t_sv) && tkxfer.type != 1" tkxfer.run | sort -u | wc -l)"
check "password run: every datagram type, in order" "1 2 3 2 3 4 5 5 5 5 5 5 6" \
    "$(fields "$cap" "$(on $p_ok)" pwxfer.type | xargs)"
check "password run: ids 1..6 and the digest matches" "1 2 3 4 5 6 1" \
    "$(fields "$cap" "$(on $p_ok) && pwxfer.type in {5, 6}" pwxfer.packet_id pwxfer.digest_ok |
        xargs)"
shown="($(on $t_sv) && tkxfer.inner.packet_id == 17) || ($(on $p_ok) && pwxfer.packet_id == 5)"
shown="$shown || ($(on $p_ok) && pwxfer.password == \"opensesame\")"
check "Info column" 'KRB_PRV APP_DATA id=17 len=972|PASS_RESP "opensesame"|DATA id=5 len=1000' \
    "$(fields "$cap" "$shown" _ws.col.Info | paste -sd '|')"

# Each expert item on the run made to provoke it, the refusals named, and silence on the
# complete runs: description | display filter | datagrams.
while IFS='|' read -r what filter want; do
    check "$what" "$want" "$(count "$cap" "$filter")"
done <<EOF
complete runs: no warning|$(on $t_gk $t_sv $p_ok) && $warnings|0
server -T1 5: nonce answer|$(on $n_sv) && tkxfer.wrong_answer|1
server -T1 5: the client's AP_ERR|$(on $n_sv) && tkxfer.ap_err.client_id == "alice"|1
server -T2: digest|$(on $h_sv) && tkxfer.digest_mismatch && tkxfer.inner.digest_ok == 0|1
client -T1: address|$(on $a_sv) && _ws.expert.message contains "address differs"|1
client -T1: the server's AP_ERR|$(on $a_sv) && tkxfer.type == 6|1
client -T2: client ID|$(on $i_sv) && _ws.expert.message contains "Client ID differs"|1
gatekeep -T1 2: expired at the AS_REP|$(on $e_gk) && tkxfer.type == 2 && tkxfer.expired|1
wrong client ID: AS_ERR|$(on $w_gk) && tkxfer.as_err.client_id == "mallory"|1
lockbox-badhash: digest|$(on $p_hash) && pwxfer.digest_mismatch|1
lockbox-skipid: each id after the first|$(on $p_skip) && pwxfer.packet_id_unexpected|5
lockbox-badreq: type 12 for PASS_REQ|$(on $p_req) && _ws.expert.message contains "PASS_REQ (2)"|1
latchkey-badjoin: type 12 for JOIN_REQ|$(on $p_join) && _ws.expert.message contains "JOIN_REQ (1)"|1
three wrong passwords: PASS_REJECT|$(on $p_rej) && pwxfer.type == 7|1
EOF

# The complete ticket run again, with one chunk lost, then with one chunk delivered twice.
editcap -r "$cap" "$WORK/one_run.pcapng" "$(fields "$cap" "$(on $t_gk $t_sv)" frame.number |
    head -1)-$(fields "$cap" "$(on $t_gk $t_sv)" frame.number | tail -1)" >/dev/null
lost=$(fields "$WORK/one_run.pcapng" 'tkxfer.inner.packet_id == 40' frame.number)
editcap "$WORK/one_run.pcapng" "$WORK/lost.pcapng" "$lost" >/dev/null
check "a lost chunk: the gap and the digest are flagged" "41 expected 40|1" \
    "$(fields "$WORK/lost.pcapng" tkxfer.packet_id_unexpected _ws.expert.message |
        sed 's/.*Packet id //; s/,//' | head -1)|$(count "$WORK/lost.pcapng" \
        tkxfer.digest_mismatch)"
editcap -r "$WORK/one_run.pcapng" "$WORK/dup.pcapng" "$lost" >/dev/null
mergecap -w "$WORK/twice.pcapng" "$WORK/one_run.pcapng" "$WORK/dup.pcapng"
check "a repeated chunk: the repeat is flagged" "40 expected 41" \
    "$(fields "$WORK/twice.pcapng" tkxfer.packet_id_unexpected _ws.expert.message |
        sed 's/.*Packet id //; s/,//' | head -1)"

# Wireshark dissects each datagram again whenever it is shown; two passes must agree with one.
verdicts=(-T fields -e tkxfer.run -e tkxfer.inner.digest_ok -e _ws.expert.message)
check "a second pass shows the first pass's verdicts" \
    "$("${TS[@]}" -r "$WORK/lost.pcapng" "${verdicts[@]}" 2>/dev/null | sha1sum)" \
    "$("${TS[@]}" -2 -r "$WORK/lost.pcapng" "${verdicts[@]}" 2>/dev/null | sha1sum)"

# Either long-term key alone leads to the session key, so every envelope opens.
for pref in client_key:$CK server_key:$SK; do
    check "with the ${pref%%:*} alone: every inner message unsealed" "105 105" \
        "$(tshark -n -X "lua_script:$PLUGIN" -o "tkxfer.$pref" -r "$WORK/one_run.pcapng" -T fields \
            -e tkxfer.type -e tkxfer.inner.type 2>/dev/null | awk '$1 == 7 { n++; m += NF == 2 }
            END { print n, m }')"
done

editcap -t 7200 "$WORK/one_run.pcapng" "$WORK/late.pcapng" >/dev/null
check "a run captured two hours late: every datagram after AS_REQ is flagged expired" \
    "$(($(count "$WORK/late.pcapng" tkxfer) - 1))" "$(count "$WORK/late.pcapng" tkxfer.expired)"

# Without lua-luaossl the clear fields remain and the sealed parts say so.
check "without lua-luaossl: clear fields, sealed parts marked" "alice|KRB_PRV (sealed)|yes" \
    "$(LUA_CPATH=/nonexistent/?.so fields "$WORK/one_run.pcapng" tkxfer.type==1 \
        tkxfer.as_req.client_id)|$(LUA_CPATH=/nonexistent/?.so fields "$WORK/one_run.pcapng" \
        'tkxfer.type==7' _ws.col.Info | sort -u)|$(LUA_CPATH=/nonexistent/?.so count \
        "$WORK/one_run.pcapng" tkxfer.sealed | grep -q '^[1-9]' && echo yes)"

check "no Lua error anywhere" "0" \
    "$("${TS[@]}" -r "$cap" -V 2>&1 | grep -c 'Lua Error')"

echo "$failures failed"
[ $failures -eq 0 ]
