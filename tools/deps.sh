# Sourced by the project's scripts: makes sure the build dependencies are installed, and gives
# the loopback helpers that the demo and the benchmarks share.
# As root it installs what is missing with apt-get; otherwise it prints the exact command and stops.

DEPS_BUILD=(cmake ninja-build g++ libssl-dev openssl libgtest-dev libgmock-dev)
DEPS_FUZZ=(clang-14 libclang-rt-14-dev)
DEPS_PEERCHECK=(nlohmann-json3-dev libcli11-dev libpugixml-dev libfmt-dev)
DEPS_DISSECTOR=(tshark lua-luaossl iproute2) # ip: loopback in the dissector test's namespace
DEPS_PACKAGE=(mandoc lintian dpkg-dev)
DEPS_STOCK_HOST=(iproute2) # tools/stock_host.sh brings up loopback in a network namespace
DEPS_SOAK=(stress-ng)     # tools/soak.sh keeps the cores busy while tests repeat
DEPS_ALL=("${DEPS_BUILD[@]}" "${DEPS_PEERCHECK[@]}" "${DEPS_DISSECTOR[@]}" "${DEPS_PACKAGE[@]}")

ensure_deps() {
    local wanted=("$@") missing=()
    for pkg in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"
    else
        echo "Missing packages. Install them with:"
        echo "  sudo apt-get install -y ${missing[*]}"
        exit 1
    fi
}

# Runs a command, then says how long it took ("=== LABEL took N s"), so that a slow stage of the
# CI shows in its log.
timed() {
    local label=$1 start=$SECONDS
    shift
    "$@"
    echo "=== $label took $((SECONDS - start)) s"
}

# Waits until some socket is bound to the UDP port (read from /proc/net/udp); 5 s at most.
wait_udp_bound() {
    local hex
    hex=$(printf ':%04X' "$1")
    for _ in $(seq 1 500); do
        awk 'NR > 1 { print $2 }' /proc/net/udp | grep -q "${hex}\$" && return 0
        sleep 0.01
    done
    return 1
}

# A UDP port that nothing on this machine is bound to at the moment.
free_udp_port() {
    local port hex
    while :; do
        port=$((20000 + RANDOM % 40000))
        hex=$(printf ':%04X' "$port")
        awk 'NR > 1 { print $2 }' /proc/net/udp | grep -q "${hex}\$" || { echo "$port"; return; }
    done
}
