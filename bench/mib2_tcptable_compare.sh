#!/bin/sh
# Whole tcpConnTable to the client: qelquery against qeld with mib2, beside
# "ss -tan" and net-snmp's snmpbulkwalk of TCP-MIB's tcpConnTable and
# tcpConnectionTable from Debian's snmpd, all on loopback, at N established
# connections (default 5000: 10,000 rows). Installs snmpd/snmp with apt-get
# when missing; snmpd runs with its own config on 127.0.0.1:PORT and is
# stopped at the end, as are qeld and the connection holder. Debian ships no
# MIB files, so the tables are walked by number (TCP-MIB 6.13 and 6.19).
# usage: bench/mib2_tcptable_compare.sh [N] [BUILD_DIR]
set -eu
N=${1:-5000}
BUILD=${2:-$(dirname "$0")/../build}
BUILD=$(cd "$BUILD" && pwd)
SRC=$(cd "$(dirname "$0")/.." && pwd)
SNMP_PORT=${SNMP_PORT:-16161}
SNMP_TIMEOUT=${SNMP_TIMEOUT:-180}
WORK=$(mktemp -d /tmp/mib2bench.XXXXXX)
PIDS=""
cleanup() {
    for p in $PIDS; do kill "$p" 2>/dev/null || true; done
    for p in $PIDS; do wait "$p" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

if ! command -v snmpbulkwalk >/dev/null || ! [ -x /usr/sbin/snmpd ]; then
    echo "installing snmpd and snmp" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q snmpd snmp >/dev/null
fi
ulimit -n $((N * 2 + 1024))

# The connection holder: N loopback connections to one listener, held
# until stdin closes.
mkfifo "$WORK/hold"
cat >"$WORK/hold.py" <<'PY'
import socket, sys
n, ready = int(sys.argv[1]), sys.argv[2]
l = socket.socket(); l.bind(("127.0.0.1", 0)); l.listen(1024)
keep = []
for i in range(n):
    c = socket.create_connection(l.getsockname()); s, _ = l.accept(); keep += [c, s]
open(ready, "w").write(str(l.getsockname()[1]))
sys.stdin.read()
PY
python3 "$WORK/hold.py" "$N" "$WORK/ready" <"$WORK/hold" &
PIDS="$PIDS $!"
exec 9>"$WORK/hold"
while ! [ -s "$WORK/ready" ]; do sleep 0.2; done

mkdir "$WORK/ca" "$WORK/home" "$WORK/cli"
"$BUILD/bin/qelca" init "$WORK/ca" >/dev/null
cp "$WORK/ca/kestrova.pem" "$WORK/home/"; cp "$WORK/ca/kestrova.pem" "$WORK/cli/"
MIB2_REFRESH_SECONDS=2 "$BUILD/bin/qeld" -f -p 0 -l 127.0.0.1 -H "$WORK/home" \
    "$BUILD/plugins/mib2-linux.so" >"$WORK/qeld.out" 2>&1 &
PIDS="$PIDS $!"
while ! [ -s "$WORK/home/qeld.port" ]; do sleep 0.2; done
PORT=$(cat "$WORK/home/qeld.port")
q() { (cd "$WORK/cli" && "$BUILD/bin/qelquery" "127.0.0.1,$PORT" tester "$SRC/examples/queries/mib2-tcp-table.xml"); }
# wait for a snapshot that holds the connections
while [ "$(q 2>/dev/null | grep -c "tcpConnState")" -lt $((N * 2)) ]; do sleep 1; done

cat >"$WORK/snmpd.conf" <<CONF
agentaddress udp:127.0.0.1:$SNMP_PORT
rocommunity public 127.0.0.1
CONF
/usr/sbin/snmpd -f -Lo -C -c "$WORK/snmpd.conf" -p "$WORK/snmpd.pid" >"$WORK/snmpd.out" 2>&1 &
PIDS="$PIDS $!"
sleep 1

# label runs command...: the median wall time of RUNS runs, in seconds.
t() {
    label=$1; runs=$2; shift 2
    times=""
    for _ in $(seq "$runs"); do
        s=$(date +%s.%N); "$@" >"$WORK/out" 2>&1 || true; e=$(date +%s.%N)
        times="$times $(echo "$e - $s" | bc)"
    done
    median=$(echo "$times" | tr ' ' '\n' | sed '/^$/d' | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
    printf '%-40s %8.3f s  median of %d  (%s lines)\n' "$label" "$median" "$runs" "$(wc -l <"$WORK/out")"
}
echo "connections: $N established loopback pairs ($((N * 2)) rows)"
t "ss -tan" 7 ss -tan
t "qelquery tcpConnTable" 7 q
t "snmpbulkwalk TCP-MIB::tcpConnectionTable" 3 timeout "$SNMP_TIMEOUT" snmpbulkwalk -v2c -c public -t 10 "127.0.0.1:$SNMP_PORT" 1.3.6.1.2.1.6.19
t "snmpbulkwalk TCP-MIB::tcpConnTable" 1 timeout "$SNMP_TIMEOUT" snmpbulkwalk -v2c -c public -t 10 "127.0.0.1:$SNMP_PORT" 1.3.6.1.2.1.6.13
