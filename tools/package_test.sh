#!/usr/bin/env bash
# Builds the Debian package from the release preset and checks it: the files it must ship (and
# nothing outside /usr), its dependencies, lintian, then one ticket-protocol run and two
# password-protocol exchanges from the programs extracted into a scratch root.
#   bash tools/package_test.sh
#   bash tools/package_test.sh --build-only   # the programs of the package, nothing checked
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
if ! command -v dpkg-deb >/dev/null; then
    echo "=== package: skipped, dpkg-deb is not installed"
    exit 0
fi

PACKAGE=udp-file-transfer
# What the package must ship besides every page in man/; a new tool adds its files here.
EXPECTED=(
    /usr/bin/gatekeep /usr/bin/server /usr/bin/client
    /usr/bin/lockbox-badhash /usr/bin/lockbox-skipid /usr/bin/lockbox-badreq
    /usr/bin/latchkey-badjoin /usr/bin/peercheck
    /usr/libexec/peercheck/peercheck-pass-client /usr/libexec/peercheck/peercheck-pass-server
    /usr/share/man/man1/lockbox-badhash.1.gz /usr/share/man/man1/lockbox-skipid.1.gz
    /usr/share/man/man1/lockbox-badreq.1.gz
    /usr/share/doc/$PACKAGE/copyright /usr/share/doc/$PACKAGE/changelog.Debian.gz
    "/usr/lib/$(gcc -print-multiarch)/wireshark/plugins/udp_file_transfer.lua"
)
for page in man/*.[1-9]; do
    name=$(basename "$page")
    EXPECTED+=("/usr/share/man/man${name##*.}/$name.gz")
done

echo "=== package: build"
cmake --preset release >/dev/null
# The folders whose files the package ships, and not the tests' or the benchmarks': their build
# is most of a whole one, and the checks below run what the package holds.
cmake --build --preset release --target common/all gatekeep/all client/all server/all \
    lockbox/all latchkey/all peercheck/all dissector/all man/all packaging/all
[ "${1:-}" != --build-only ] || exit 0
rm -f build/release/"$PACKAGE"_*.deb
(cd build/release && cpack -G DEB >/dev/null)
DEB=$(ls build/release/"$PACKAGE"_*.deb)
echo "$DEB: $(stat -c %s "$DEB") bytes"

source tools/scratch.sh  # $WORK and PIDS, ended and removed on exit
FAILED=0
fail() { echo "FAILED: $*"; FAILED=1; }

echo "=== package: contents"
dpkg-deb --fsys-tarfile "$DEB" | tar -t | sed 's|^\./|/|; s|/$||' | grep -v '^$' >"$WORK/files"
for f in "${EXPECTED[@]}"; do grep -qxF "$f" "$WORK/files" || fail "missing $f"; done
outside=$(grep -v -e '^/usr$' -e '^/usr/' "$WORK/files" || true)
[ -z "$outside" ] || fail "shipped outside /usr: $outside"
depends=$(dpkg-deb -f "$DEB" Depends)
[[ $depends == *libssl3* ]] || fail "Depends lacks libssl3: $depends"
echo "Depends: $depends"

if command -v lintian >/dev/null; then
    echo "=== package: lintian"
    status=0
    lintian --fail-on error "$DEB" >"$WORK/lintian" 2>&1 || status=$?
    grep -v 'running with root privileges' "$WORK/lintian" || true
    [ $status -eq 0 ] || fail "lintian reports errors"
else
    echo "=== package: lintian is not installed, not run"
fi

echo "=== package: runs from the extracted programs"
ROOT=$WORK/root
dpkg-deb -x "$DEB" "$ROOT"
BIN=$ROOT/usr/bin
PEERS=$ROOT/usr/libexec/peercheck  # the fault-free password peers it ships
head -c 100000 /dev/urandom >"$WORK/served.bin"

start() {  # output file, port, command...: starts a server and waits for its port
    local out=$1 port=$2
    shift 2
    "$@" >"$out" &
    PIDS+=($!)
    wait_udp_bound "$port" || fail "no server bound port $port: $(cat "$out")"
}

# The client's Authenticator carries the first address of its host name, the Ticket the address
# the datagrams leave from (127.0.0.1); where the name resolves to 127.0.1.1 the client's address
# offset moves the first onto the second.
HOST_ADDR=$(getent ahostsv4 "$(uname -n)" | awk 'NR == 1 { print $1 }')
le32() { local IFS=.; set -- $1; echo $(($1 + ($2 << 8) + ($3 << 16) + ($4 << 24))); }
CLIENT_EXTRA=()
if [ -n "$HOST_ADDR" ] && [ "$HOST_ADDR" != 127.0.0.1 ]; then
    CLIENT_EXTRA=(x -T1 $(($(le32 127.0.0.1) - $(le32 "$HOST_ADDR"))))
fi
CK=0123456789abcdef
SK=fedcba9876543210
gk_port=$(free_udp_port)
start "$WORK/gatekeep.out" "$gk_port" "$BIN/gatekeep" "$gk_port" alice $CK files $SK
sv_port=$(free_udp_port)
start "$WORK/server.out" "$sv_port" "$BIN/server" "$sv_port" $SK "$WORK/served.bin"
result=$(timeout 10 "$BIN/client" 127.0.0.1 "$gk_port" $CK 127.0.0.1 "$sv_port" \
    "$WORK/ticket.bin" alice files "${CLIENT_EXTRA[@]}" || true)
[ "$result" = OK ] && cmp -s "$WORK/served.bin" "$WORK/ticket.bin" ||
    fail "ticket run: client printed '$result'"

# Every lockbox build and latchkey-badjoin carry a fault, so each runs against the fault-free
# peer the package ships for peercheck. A file below 1000 bytes travels in one DATA, where
# lockbox-skipid's fault cannot show.
head -c 999 "$WORK/served.bin" >"$WORK/small.bin"
port=$(free_udp_port)
start "$WORK/lockbox.out" "$port" "$BIN/lockbox-skipid" "$port" opensesame "$WORK/small.bin"
result=$(timeout 10 "$PEERS/peercheck-pass-client" 127.0.0.1 "$port" wrong opensesame unused \
    "$WORK/lockbox.bin" || true)
[ "$result" = OK ] && cmp -s "$WORK/small.bin" "$WORK/lockbox.bin" ||
    fail "lockbox-skipid to the test client: it printed '$result'"
port=$(free_udp_port)
start "$WORK/peer.out" "$port" "$PEERS/peercheck-pass-server" "$port" opensesame "$WORK/served.bin"
result=$(timeout 10 "$BIN/latchkey-badjoin" 127.0.0.1 "$port" a b opensesame \
    "$WORK/latchkey.bin" || true)
[ "$result" = OK ] && cmp -s "$WORK/served.bin" "$WORK/latchkey.bin" ||
    fail "latchkey-badjoin from the test server: it printed '$result'"

if [ $FAILED -ne 0 ]; then
    echo "=== package: FAILED"
    exit 1
fi
echo "=== package: passed ($(wc -l <"$WORK/files") paths, all under /usr)"
