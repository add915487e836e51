#!/usr/bin/env bash
# USB-server benchmark (run by hand, as root): the optimised daemon in a network
# namespace with simulated loopback devices, a client namespace behind a veth pair, and
# in one run: bulk throughput through the daemon (64 KiB, 1 MiB and 16 MiB transfers, 1
# and 4 in flight, plain and TLS), control round trips per second, and over the same
# path raw TCP throughput and request/response rate, the limit of this bed, and raw TCP
# exchanges of each transfer's shape (request, then answer, as many in flight). Each
# figure is printed with its ratios to those limits, then the share of a paced USB 2.0 high-speed
# device's rate that gets through, and the daemon's peak RSS.
# Usage: bench/usb_bench.sh [seconds per measurement]   (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3}
bash scripts/deps
[ -f build/release/build.ninja ] || cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release --target qmr >/dev/null
work=$(mktemp -d /tmp/qmr-ubench-XXXXXX)
g++ -O2 -std=c++20 -pthread -o "$work/usb_bench" bench/usb_bench.cpp -lssl -lcrypto

tag=$$
dev=qmrud$tag; cli=qmruc$tag
pids=()
cleanup() {
    status=$?
    [ $status = 0 ] || { echo "== the daemon's last lines:"; tail -20 "$work/qmr.out"; } >&2
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    for ns in $dev $cli; do ip netns del "$ns" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
ip netns add $dev; ip netns add $cli
ip link add qu$tag type veth peer name qup$tag
ip link set qu$tag netns $cli; ip link set qup$tag netns $dev
ip -n $dev link set qup$tag name eth0; ip -n $cli link set qu$tag name eth0
for ns in $dev $cli; do ip -n $ns link set lo up; ip -n $ns link set eth0 up; done
ip -n $cli addr add 198.18.252.2/24 dev eth0
host=198.18.252.1

root=$work/root
mkdir -p "$root"/{etc,var,tmp,romfs,dev,run,proc/sys/vm,sys/module/usbcore/parameters}
cp tests/fixtures/products/p287_4port "$root/proc/product_params"
printf ' ip_addr = %s\nip_pfxlen = 24\n' $host >"$root/etc/params.dat"
QMR_ROOT=$root QMR_PLATFORM=sim ip netns exec $dev build/release/qmr >"$work/qmr.out" 2>&1 &
qmr=$!
pids+=($qmr)
ip netns exec $dev "$work/usb_bench" serve 9500 &
pids+=($!)
for _ in $(seq 200); do
    ip netns exec $dev ss -Htln 'sport = :9200' | grep -q LISTEN && break
    sleep 0.1
done
simctl() { python3 sim/simctl --root "$root" "$@"; }
# The stand-in's source and sink, when it has one, measures each direction alone;
# else a loopback gives its data back, and both directions are measured at once.
if simctl usb plug port:1 sourcesink >/dev/null 2>&1; then mode=sink; else
    simctl usb plug port:1 loopback >/dev/null; mode=loop; fi
# The paced device: USB 2.0 high-speed bus timing, whose bulk ceiling is 13 packets of
# 512 bytes a microframe. The bus is half duplex, so each direction is measured alone
# (on a source and sink); a loopback would share the one budget between both.
pace_rate=53248000
if [ $mode = sink ]; then simctl usb plug port:2 sourcesink pace=usb2 >/dev/null; else
    simctl usb plug port:2 loopback pace=usb2 >/dev/null; fi

# The devices as the protocol lists them (the client library of the system tests).
read -r fast paced < <(python3 - "$cli" "$host" <<'PY'
import sys, time
sys.path.insert(0, "tests/client")
import usbsrv
c = usbsrv.Client.connect(sys.argv[2], 9200, netns=sys.argv[1])
for _ in range(200):
    ports = {r.port: r.entry for r in c.device_list()[1]}
    if 1 in ports and 2 in ports:
        break
    time.sleep(0.05)
print(ports[1], ports[2])
c.close()
PY
)

run() { ip netns exec $cli "$work/usb_bench" "$@"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mb() { awk -v a="$1" 'BEGIN { printf "%8.1f MB/s", a / 1e6 }'; }

echo "== the limit of this bed (raw TCP over the veth path)"
read -r tcp_out _ < <(run raw $host 9500 S "$seconds")
read -r tcp_in _ < <(run raw $host 9500 O "$seconds")
read -r tcp_rr _ < <(run raw $host 9500 E "$seconds")
printf "raw TCP to the device   %s\nraw TCP from the device %s\nraw TCP request/response %8.0f /s\n" \
    "$(mb "$tcp_out")" "$(mb "$tcp_in")" "$tcp_rr"

echo "== bulk through the daemon ($mode device; ratios to raw TCP and to raw TCP exchanges of that shape)"
declare -A plain_rate xchg_rate
for tls in ${TLSES:-0 1}; do
    port=9200; name=plain
    [ $tls = 1 ] && { port=9443; name=TLS; }
    for size in ${SIZES:-65536 1048576 16777216}; do
        for depth in 1 4; do
            if [ $mode = sink ]; then
                read -r out _ < <(run bulk $host $port $tls "$fast" 1 out $size $depth "$seconds")
                read -r in _ < <(run bulk $host $port $tls "$fast" 1 in $size $depth "$seconds")
            else
                read -r out _ in < <(run bulk $host $port $tls "$fast" 1 loop $size $depth "$seconds")
            fi
            # The same exchanges over raw TCP, once per size and depth: the most that a
            # protocol waiting for each answer gets from this path.
            if [ -z "${xchg_rate[$size$depth]:-}" ]; then
                read -r xo _ < <(run xchg $host 9500 out $size $depth "$seconds")
                read -r xi _ < <(run xchg $host 9500 in $size $depth "$seconds")
                xchg_rate[$size$depth]="$xo $xi"
            fi
            read -r xo xi <<<"${xchg_rate[$size$depth]}"
            line=$(printf "%-5s %8d B x%d  OUT %s (%s, %s)  IN %s (%s, %s)" $name $size $depth "$(mb "$out")" \
                "$(ratio "$out" "$tcp_out")" "$(ratio "$out" "$xo")" "$(mb "$in")" "$(ratio "$in" "$tcp_in")" \
                "$(ratio "$in" "$xi")")
            if [ $tls = 0 ]; then plain_rate[$size$depth]="$out $in"; elif [ -n "${plain_rate[$size$depth]:-}" ]; then
                read -r pout pin <<<"${plain_rate[$size$depth]}"
                line="$line  TLS/plain $(ratio "$out" "$pout") $(ratio "$in" "$pin")"
            fi
            echo "$line"
        done
    done
done

echo "== control round trips (GET_STATUS to the device)"
read -r ctl _ < <(run ctrl $host 9200 0 "$fast" 1 "$seconds")
read -r ctl_tls _ < <(run ctrl $host 9443 1 "$fast" 1 "$seconds")
printf "plain %8.0f /s (%s of raw TCP request/response)\nTLS   %8.0f /s\n" "$ctl" "$(ratio "$ctl" "$tcp_rr")" "$ctl_tls"

echo "== paced USB 2.0 high-speed $mode device: share of the bus's bulk rate ($(mb $pace_rate))"
if [ $mode = sink ]; then
    read -r pout _ < <(run bulk $host 9200 0 "$paced" 2 out 1048576 4 "$seconds")
    read -r pin _ < <(run bulk $host 9200 0 "$paced" 2 in 1048576 4 "$seconds")
else
    # Both directions at once on the one bus: each gets about half of it.
    read -r pout _ pin < <(run bulk $host 9200 0 "$paced" 2 loop 1048576 4 "$seconds")
    pace_rate=$((pace_rate / 2))
fi
printf "OUT %s (%s)  IN %s (%s)\n" "$(mb "$pout")" "$(ratio "$pout" $pace_rate)" "$(mb "$pin")" "$(ratio "$pin" $pace_rate)"

echo "== daemon peak RSS: $(awk '/VmHWM/ { print $2, $3 }' /proc/$qmr/status)"
