#!/usr/bin/env bash
# Remote-syslog benchmark (run by hand, as root): monitoring lines per second that reach
# rsyslogd from the optimised daemon, over plain TCP and over TLS, against util-linux's
# `logger -T` sending the same lines from the daemon's namespace to the same rsyslogd,
# and against the daemon's own log with remote syslog off. The daemon writes the lines
# through its normal logging call on the sim control thread ("moni lines N TEXT"); a
# rate is the lines rsyslogd wrote to its file over the time from the first line sent
# to the last line received (with syslog off: lines written over the command's time).
# The daemon runs in a network namespace, rsyslogd in a client namespace behind a veth
# pair, as in the system tests.
# Usage: bench/syslog_bench.sh [lines per measurement]   (default 5000)
set -euo pipefail
cd "$(dirname "$0")/.."
lines=${1:-5000}
bash scripts/deps
[ -f build/release/build.ninja ] || cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release --target qmr >/dev/null
work=$(mktemp -d /tmp/qmr-sbench-XXXXXX)
chmod 0755 "$work"

tag=$$
dev=qmrsd$tag; cli=qmrsc$tag
pids=()
qmr=""
cleanup() {
    status=$?
    [ $status = 0 ] || { echo "== the daemon's last lines:"; tail -20 "$work/qmr.out" 2>/dev/null; } >&2
    [ -z "$qmr" ] || kill "$qmr" 2>/dev/null || true
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    for ns in $dev $cli; do ip netns del "$ns" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
ip netns add $dev; ip netns add $cli
ip link add qs$tag type veth peer name qsp$tag
ip link set qs$tag netns $cli; ip link set qsp$tag netns $dev
ip -n $dev link set qsp$tag name eth0; ip -n $cli link set qs$tag name eth0
for ns in $dev $cli; do ip -n $ns link set lo up; ip -n $ns link set eth0 up; done
ip -n $cli addr add 198.18.253.2/24 dev eth0
host=198.18.253.1 server=198.18.253.2
plain_port=5514 tls_port=6514

# rsyslogd: imtcp on a plain port and on a TLS port ("ossl", anonymous); the lines of
# each measurement, found by their marker, go to a file of their own.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=syslog.bench -keyout "$work/key.pem" \
    -out "$work/cert.pem" >/dev/null 2>&1
cat >"$work/rsyslog.conf" <<EOF
global(workDirectory="$work" DefaultNetstreamDriverCAFile="$work/cert.pem"
       DefaultNetstreamDriverCertFile="$work/cert.pem" DefaultNetstreamDriverKeyFile="$work/key.pem")
module(load="imtcp")
input(type="imtcp" address="$server" port="$plain_port")
input(type="imtcp" address="$server" port="$tls_port" streamDriver.name="ossl" streamDriver.mode="1"
      streamDriver.authMode="anon")
template(name="raw" type="string" string="%rawmsg%\\n")
EOF
for marker in plain tls logger; do
    printf 'if ($rawmsg contains "qmrbench-%s--end") then {\n    action(type="omfile" file="%s" template="raw")\n    stop\n}\n' \
        $marker "$work/got-$marker.log" >>"$work/rsyslog.conf"
done
echo "*.* action(type=\"omfile\" file=\"$work/other.log\" template=\"raw\")" >>"$work/rsyslog.conf"
ip netns exec $cli rsyslogd -n -f "$work/rsyslog.conf" -i "$work/rsyslog.pid" >"$work/rsyslog.out" 2>&1 &
pids+=($!)
for _ in $(seq 200); do
    ip netns exec $cli ss -Hltn | grep -q ":$tls_port " && break
    sleep 0.1
done

root=$work/root
ask() { # one line to the daemon's control socket; prints the answer and the seconds it took
    python3 - "$root/run/sim.sock" "$1" <<'PY'
import socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.connect(sys.argv[1])
t0 = time.monotonic()
s.sendall(sys.argv[2].encode() + b"\n")
data = b""
while not (data.endswith(b"OK\n") or b"ERR" in data):
    chunk = s.recv(4096)
    if not chunk:
        break
    data += chunk
print(data.decode().split("\n")[0], "%.6f" % (time.monotonic() - t0))
PY
}
start_qmr() { # syslog on|off, port, ssl on|off
    kill_qmr
    rm -rf "$root"
    mkdir -p "$root"/{etc,var,tmp,romfs,dev,run,proc/sys/vm,sys/module/usbcore/parameters}
    cp tests/fixtures/products/p287_4port "$root/proc/product_params"
    printf ' ip_addr = %s\nip_pfxlen = 24\nmonitoring = on\nmoniflags = 31\nsyslogng = %s\n' $host "$1" \
        >"$root/etc/params.dat"
    printf 'syslogng_srv = %s\nsyslogng_port = %s\nsyslogng_ssl = %s\nsyslogng_ietf = on\n' $server "$2" "$3" \
        >>"$root/etc/params.dat"
    QMR_ROOT=$root QMR_PLATFORM=sim ip netns exec $dev build/release/qmr >"$work/qmr.out" 2>&1 &
    qmr=$!
    for _ in $(seq 300); do [ -S "$root/run/sim.sock" ] && break; sleep 0.1; done
    if [ "$1" = on ]; then
        # The client is connected once its second banner arrived.
        for _ in $(seq 600); do grep -q "SW:" "$work/other.log" 2>/dev/null && break; sleep 0.1; done
        grep -q "SW:" "$work/other.log" || { echo "the daemon did not reach rsyslogd" >&2; exit 1; }
        : >"$work/other.log"
    fi
}
kill_qmr() {
    [ -z "$qmr" ] && return 0
    kill "$qmr" 2>/dev/null || true
    wait "$qmr" 2>/dev/null || true
    qmr=""
}
now() { date +%s.%N; }
# Waits until rsyslogd wrote the lines of a marker, or wrote none for 5 s; prints the
# count and the seconds from t0 to the last growth.
collect() { # marker, t0, expected
    local file="$work/got-$1.log" count=0 last=0 last_t=$2 n t
    while :; do
        n=$(wc -l <"$file" 2>/dev/null || echo 0)
        t=$(now)
        if [ "$n" != "$last" ]; then last=$n; last_t=$t; fi
        [ "$n" -ge "$3" ] && break
        awk -v a="$t" -v b="$last_t" 'BEGIN { exit !(a - b > 5) }' && break
        sleep 0.02
    done
    count=$last
    echo "$count $(awk -v a="$last_t" -v b="$2" 'BEGIN { printf "%.6f", a - b }')"
}
rate() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.0f", (s > 0 ? n / s : 0) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

declare -A rates
run_qmr() { # marker, syslog, port, ssl
    start_qmr "$2" "$3" "$4"
    local t0 answer written took got secs
    t0=$(now)
    read -r answer took < <(ask "moni lines $lines qmrbench-$1--end")
    written=$answer
    if [ "$2" = on ]; then
        read -r got secs < <(collect "$1" "$t0" "$lines")
    else
        got=$written secs=$took
    fi
    rates[$1]=$(rate "$got" "$secs")
    printf "%-34s %7d of %7d lines in %7.3f s  %8s lines/s  (the log call took %.3f s)\n" \
        "$5" "$got" "$written" "$secs" "${rates[$1]}" "$took"
    # The lines as the daemon wrote them to its local log, for logger to send.
    [ "$1" = plain ] && cat "$root"/var/moni/monitor/*.log | tr -d '\r' | grep -F "qmrbench-plain--end" |
        sed 's/qmrbench-plain--end/qmrbench-logger--end/' >"$work/lines.txt"
    kill_qmr
}

echo "== $lines monitoring lines per measurement"
run_qmr off off $plain_port off "qmr, syslog off (local log only)"
run_qmr plain on $plain_port off "qmr to rsyslogd, plain TCP"
run_qmr tls on $tls_port on "qmr to rsyslogd, TLS"
# logger -T: one connection, one message per line of its input (RFC 5424, framed by a
# line feed), from the daemon's namespace to the same rsyslogd.
# The daemon took its address with it when it stopped: the namespace gets it back.
ip -n $dev link set eth0 up
ip -n $dev addr add $host/24 dev eth0 2>/dev/null || true
sent=$(wc -l <"$work/lines.txt")
t0=$(now)
ip netns exec $dev logger -T -n $server -P $plain_port -t QMR-0287A1 <"$work/lines.txt"
read -r got secs < <(collect logger "$t0" "$sent")
rates[logger]=$(rate "$got" "$secs")
printf "%-34s %7d of %7d lines in %7.3f s  %8s lines/s\n" "logger -T to rsyslogd, plain TCP" "$got" "$sent" \
    "$secs" "${rates[logger]}"

echo "== ratios"
echo "qmr plain / logger -T          $(ratio "${rates[plain]}" "${rates[logger]}")"
echo "qmr TLS / logger -T            $(ratio "${rates[tls]}" "${rates[logger]}")"
echo "qmr plain / syslog off         $(ratio "${rates[plain]}" "${rates[off]}")"
echo "qmr TLS / syslog off           $(ratio "${rates[tls]}" "${rates[off]}")"
echo "qmr TLS / qmr plain            $(ratio "${rates[tls]}" "${rates[plain]}")"
