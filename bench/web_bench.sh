#!/usr/bin/env bash
# Web server benchmark (run by hand, as root; not part of CI):
#   bash scripts/deps bench && scripts/build release && bench/web_bench.sh [seconds]
# Starts the optimised qmr in a network namespace with its simulated board, and
# lighttpd from Debian in the same namespace serving the same static file, and runs wrk
# from a client namespace: requests per second for a static file and a template page,
# with and without keep-alive, over HTTP and HTTPS, then the daemon's resident memory.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
threads=2
clients=16
bin=build/release/qmr
[ -x "$bin" ] || { echo "build the release first: scripts/build release" >&2; exit 1; }
for tool in wrk lighttpd; do
    command -v "$tool" >/dev/null || { echo "install the benchmark tools: bash scripts/deps bench" >&2; exit 1; }
done

dev=qmrbenchd cli=qmrbenchc
root=$(mktemp -d /tmp/qmr-bench.XXXXXX)
cleanup() {
    [ -n "${qmr_pid:-}" ] && kill "$qmr_pid" 2>/dev/null && wait "$qmr_pid" 2>/dev/null || true
    [ -n "${lighttpd_pid:-}" ] && kill "$lighttpd_pid" 2>/dev/null || true
    ip netns del "$dev" 2>/dev/null || true
    ip netns del "$cli" 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
ip netns add "$dev"
ip netns add "$cli"
ip link add qmrbench0 type veth peer name qmrbench1
ip link set qmrbench0 netns "$dev"
ip link set qmrbench1 netns "$cli"
ip -n "$dev" link set qmrbench0 name eth0
ip -n "$cli" link set qmrbench1 name eth0
for ns in "$dev" "$cli"; do
    ip -n "$ns" link set lo up
    ip -n "$ns" link set eth0 up
done
ip -n "$cli" addr add 198.18.200.2/24 dev eth0

mkdir -p "$root"/{etc/certs,var,tmp,romfs,dev,run,proc/sys/vm,sys/module/usbcore/parameters}
cp tests/fixtures/products/p287_4port "$root/proc/product_params"
cp -r build/release/romfs/templates build/release/romfs/locale "$root/romfs/"
sed "s/@DEVICE_ADDR@/198.18.200.1/" tests/fixtures/params/static.dat > "$root/etc/params.dat"
echo "monitoring = off" >> "$root/etc/params.dat"
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=qmr-bench \
    -keyout "$root/etc/certs/cert_pkey.pem" -out "$root/etc/certs/cert_srv.pem" 2>/dev/null
cat "$root/etc/certs/cert_pkey.pem" "$root/etc/certs/cert_srv.pem" > "$root/lighttpd.pem"

ip netns exec "$dev" env QMR_ROOT="$root" QMR_PLATFORM=sim "$bin" > "$root/qmr.out" 2>&1 &
qmr_pid=$!
cat > "$root/lighttpd.conf" <<CONF
server.document-root = "$root/romfs/templates"
server.port = 8080
server.bind = "198.18.200.1"
server.modules = ("mod_openssl")
server.max-keep-alive-requests = 16
mimetype.assign = (".css" => "text/css")
\$SERVER["socket"] == "198.18.200.1:8443" {
    ssl.engine = "enable"
    ssl.pemfile = "$root/lighttpd.pem"
}
CONF
for i in $(seq 100); do
    ip netns exec "$cli" curl -s -o /dev/null --max-time 1 http://198.18.200.1/css/qmr.css && break
    sleep 0.2
done
ip netns exec "$dev" lighttpd -D -f "$root/lighttpd.conf" &
lighttpd_pid=$!
sleep 1

run() { # label url keep-alive(yes/no)
    local header="Connection: close"
    [ "$3" = yes ] && header="Connection: keep-alive"
    local rate
    rate=$(ip netns exec "$cli" wrk -t"$threads" -c"$clients" -d"${seconds}s" -H "$header" "$2" 2>/dev/null |
        awk '/Requests\/sec/ {print $2}')
    printf "%-34s %-10s %12s\n" "$1" "$3" "${rate:-failed}"
}

printf "%-34s %-10s %12s\n" "what" "keep-alive" "requests/s"
for scheme in http https; do
    qport=80 lport=8080
    [ $scheme = https ] && qport=443 lport=8443
    for keep in yes no; do
        run "qmr static file ($scheme)" "$scheme://198.18.200.1:$qport/css/qmr.css" $keep
        run "lighttpd static file ($scheme)" "$scheme://198.18.200.1:$lport/css/qmr.css" $keep
        run "qmr template page ($scheme)" "$scheme://198.18.200.1:$qport/start.html" $keep
    done
done
printf "qmr resident memory after the runs: %s\n" "$(awk '/VmRSS/ {print $2, $3}' /proc/$qmr_pid/status)"
printf "qmr peak resident memory:          %s\n" "$(awk '/VmHWM/ {print $2, $3}' /proc/$qmr_pid/status)"
