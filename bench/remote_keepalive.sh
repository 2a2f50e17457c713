#!/bin/sh
# SPDX-License-Identifier: MIT
# Sequential calls of Tavrel's client to kept-alive servers at a non-loopback
# address: the other end of a veth pair in a network namespace made here, so
# that the kernel treats the peer as remote (delayed acknowledgements and all).
# Servers: Python's SimpleXMLRPCServer speaking HTTP/1.1, plain and over TLS,
# and xmlrpc-c's Abyss, plain (Debian's Abyss has no TLS). Each pairing runs
# ROUNDS times, the client's own connections and Qt's manager in turn, and
# the median calls/s of each is printed. Needs root (ip netns), python3 and
# openssl.
#
#   bench/remote_keepalive.sh BUILD-DIR [CALLS] [ROUNDS]     (default 300, 5)
set -eu

build=$1
calls=${2:-300}
rounds=${3:-5}
here=$(cd "$(dirname "$0")" && pwd)
bench=$build/bench/keepalive_bench
abyss=$build/bench/xmlrpcc_peer
ns=tavrelbench$$
host_if=tvbh$$
peer_if=tvbp$$
host_address=10.231.0.1
peer_address=10.231.0.2
work=$(mktemp -d)
pids=

cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
    ip netns del "$ns" 2>/dev/null || true
    ip link del "$host_if" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

ip netns add "$ns"
ip link add "$host_if" type veth peer name "$peer_if"
ip link set "$peer_if" netns "$ns"
ip addr add "$host_address/24" dev "$host_if"
ip link set "$host_if" up
ip netns exec "$ns" ip addr add "$peer_address/24" dev "$peer_if"
ip netns exec "$ns" ip link set "$peer_if" up
ip netns exec "$ns" ip link set lo up

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 -subj "/CN=$peer_address" \
    -addext "subjectAltName=IP:$peer_address" 2>/dev/null

# Starts a server in the namespace and waits until it answers on its port.
serve() {
    port=$1
    shift
    ip netns exec "$ns" "$@" >/dev/null &
    pids="$pids $!"
    tries=0
    until python3 -c "import socket,sys; socket.create_connection(('$peer_address', $port), 1)" \
        2>/dev/null; do
        tries=$((tries + 1))
        [ "$tries" -lt 100 ] || { echo "server on port $port did not start" >&2; exit 1; }
        python3 -c "import time; time.sleep(0.1)"
    done
}

serve 8001 python3 "$here/keepalive_peer.py" serve-at "$peer_address" 8001
serve 8002 python3 "$here/keepalive_peer.py" serve-at "$peer_address" 8002 "$work/cert.pem" \
    "$work/key.pem"
if [ -x "$abyss" ]; then
    serve 8003 "$abyss" serve 8003
fi

median() {
    sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Rounds of both routes in turn, so that the noise of a shared machine falls on both.
measure() {
    name=$1
    url=$2
    ca=${3:-}
    : >"$work/own"
    : >"$work/manager"
    round=0
    while [ "$round" -lt "$rounds" ]; do
        "$bench" remote "$url" "$calls" $ca | awk '{ print $1 }' >>"$work/own"
        "$bench" remote "$url" "$calls" manager $ca | awk '{ print $1 }' >>"$work/manager"
        round=$((round + 1))
    done
    printf '%-28s own connections %6s calls/s   Qt manager %6s calls/s\n' "$name" \
        "$(median <"$work/own")" "$(median <"$work/manager")"
}

echo "$calls sequential calls to $peer_address, median of $rounds rounds"
measure "Python, HTTP/1.1" "http://$peer_address:8001/RPC2"
measure "Python, HTTP/1.1 over TLS" "https://$peer_address:8002/RPC2" "$work/cert.pem"
if [ -x "$abyss" ]; then
    measure "xmlrpc-c Abyss" "http://$peer_address:8003/RPC2"
fi
