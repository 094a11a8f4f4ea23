#!/usr/bin/env bash
# Runs a command on a host name that resolves to 127.0.1.1, as a stock Debian 12 installation
# maps it in /etc/hosts, while datagrams to 127.0.0.1 still leave from 127.0.0.1. The machine
# itself is left alone: the command gets a host name, a network (loopback only) and an
# /etc/hosts of its own, in new namespaces, so this needs root, unshare and ip (iproute2).
#   bash tools/stock_host.sh ctest --preset ci -R '^TicketRun\.'
set -euo pipefail
name=stock-debian-host

if [ "${1:-}" = --inside ]; then
    shift
    ip link set lo up
    hostname "$name"
    # The file stays until the command ends: a bind mount over a deleted file cannot itself be
    # mounted over, which a nested use of this script would need.
    hosts=$(mktemp)
    trap 'rm -f "$hosts"' EXIT
    printf '127.0.0.1\tlocalhost\n127.0.1.1\t%s\n' "$name" >"$hosts"
    chmod 644 "$hosts" # mktemp makes it readable by root alone
    mount --bind "$hosts" /etc/hosts
    # A name service that answers before the hosts file would make the run prove nothing.
    if ! getent hosts "$name" | grep -q '^127\.0\.1\.1[[:space:]]'; then
        echo "$name does not resolve to 127.0.1.1 here: $(getent hosts "$name" || echo nothing)"
        exit 1
    fi
    "$@"
    exit
fi
exec unshare --uts --net --mount --propagation private bash "$0" --inside "$@"
