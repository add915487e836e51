#!/usr/bin/env bash
# SNMP benchmark (run by hand, as root): GET and GETBULK-walk requests per second against
# the daemon's agent and against Debian's snmpd serving MIB-II, both in network
# namespaces of their own behind a veth pair, from one manager namespace, in one run.
# Usage: bench/snmp_bench.sh [seconds per measurement]   (default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
bash scripts/deps
# The optimised daemon only (scripts/build release builds the tests as well).
[ -f build/release/build.ninja ] || cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release --target qmr >/dev/null
work=$(mktemp -d /tmp/qmr-bench-XXXXXX)
g++ -O2 -std=c++20 -o "$work/snmp_bench" bench/snmp_bench.cpp $(pkg-config --cflags --libs netsnmp)

tag=$$
mgr=qmrbm$tag; dev=qmrbd$tag; ref=qmrbr$tag
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    for ns in $mgr $dev $ref; do ip netns del "$ns" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
ip netns add $mgr; ip netns add $dev; ip netns add $ref
# One veth pair per agent: eth0 inside each agent's namespace.
link() { # namespace, manager-side name, subnet
    ip link add qb$tag$2 type veth peer name qbp$tag$2
    ip link set qb$tag$2 netns $mgr
    ip link set qbp$tag$2 netns "$1"
    ip -n "$1" link set qbp$tag$2 name eth0
    ip -n "$1" link set lo up; ip -n "$1" link set eth0 up
    ip -n $mgr link set qb$tag$2 up
    ip -n $mgr addr add "$3.2/24" dev qb$tag$2
}
ip -n $mgr link set lo up
link $dev d 198.18.250
link $ref r 198.18.251
ip -n $ref addr add 198.18.251.1/24 dev eth0

# The daemon with its simulated board, as the demo runs it.
root=$work/root
mkdir -p "$root"/{etc,var,tmp,romfs,dev,run,proc/sys/vm,sys/module/usbcore/parameters}
cp tests/fixtures/products/p287_4port "$root/proc/product_params"
printf ' ip_addr = 198.18.250.1\nip_pfxlen = 24\n' >"$root/etc/params.dat"
QMR_ROOT=$root QMR_PLATFORM=sim ip netns exec $dev build/release/qmr >"$work/qmr.out" 2>&1 &
pids+=($!)

# Debian's snmpd with MIB-II, read-only community, its state in the work directory.
mkdir -p "$work/snmpd"
printf 'agentaddress udp:161\nrocommunity velmor\n' >"$work/snmpd/snmpd.conf"
SNMP_PERSISTENT_DIR=$work/snmpd ip netns exec $ref /usr/sbin/snmpd -f -Lf "$work/snmpd/log" -C \
    -c "$work/snmpd/snmpd.conf" -p "$work/snmpd/pid" &
pids+=($!)

bench() { ip netns exec $mgr "$work/snmp_bench" "$@"; }
for host in 198.18.250.1 198.18.251.1; do
    for _ in $(seq 100); do
        bench "$host" velmor get 1.3.6.1.2.1.1.5.0 0.2 >/dev/null 2>&1 && break
        sleep 0.2
    done
done

run() { # label, host
    echo "== $1"
    bench "$2" velmor get 1.3.6.1.2.1.1.5.0 "$seconds"
    bench "$2" velmor bulkwalk 1.3.6.1.2.1.2 "$seconds"
}
# Alternating, so that a change of the machine's load shows in both.
for round in 1 2; do
    run "qmr (the daemon's agent), round $round" 198.18.250.1
    run "Debian snmpd, round $round" 198.18.251.1
done
echo "== qmr, device MIB"
bench 198.18.250.1 velmor get 1.3.6.1.4.1.32473.2.1.35.0 "$seconds"
bench 198.18.250.1 velmor bulkwalk 1.3.6.1.4.1.32473 "$seconds"
