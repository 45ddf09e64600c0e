#!/bin/sh
# dependencyTable end to end: qeld with mib2, kestrova and the depfeed test
# plug-in in a network namespace of its own (loopback only), fed N local
# dependencies on documentation addresses (nothing routes them, so every
# probe fails at once), asked with qelquery for 5 and 17 columns with key
# "*" and for one exact key; in the same run mib2's tcpConnTable at
# TCP_PAIRS established loopback pairs (default 5000: 10,000 rows).
# Reports median wall times and the agent's CPU time per request.
# Needs root (ip netns). Everything it makes is removed at the end.
# usage: bench/dependency_table_compare.sh [BUILD_DIR]   (SIZES="10000 50000" RUNS=5 TCP_PAIRS=5000)
set -eu
BUILD=${1:-$(dirname "$0")/../build}
BUILD=$(cd "$BUILD" && pwd)
SRC=$(cd "$(dirname "$0")/.." && pwd)
SIZES=${SIZES:-"10000 50000"}
RUNS=${RUNS:-5}
TCP_PAIRS=${TCP_PAIRS:-5000}
for f in bin/qeld bin/qelca bin/qelquery plugins/mib2-linux.so plugins/kestrova-linux.so tests/plugins/depfeed-linux.so; do
    [ -e "$BUILD/$f" ] || { echo "missing $BUILD/$f: build it first" >&2; exit 1; }
done
NS=kq-dtbench-$$
WORK=$(mktemp -d /tmp/dependbench.XXXXXX)
AGENT=""
HOLDER=""
stop_agent() {
    if [ -n "$AGENT" ]; then
        kill "$AGENT" 2>/dev/null || true
        wait "$AGENT" 2>/dev/null || true
        AGENT=""
    fi
}
cleanup() {
    stop_agent
    exec 9>&- 2>/dev/null || true
    if [ -n "$HOLDER" ]; then
        kill "$HOLDER" 2>/dev/null || true
        wait "$HOLDER" 2>/dev/null || true
    fi
    ip netns del "$NS" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

if ! ip netns add "$NS" 2>"$WORK/err"; then
    echo "network namespaces are not permitted here: $(cat "$WORK/err")" >&2
    exit 1
fi
ip -n "$NS" link set lo up
ulimit -n $((TCP_PAIRS * 2 + 1024))

# The connection holder, inside the namespace: TCP_PAIRS loopback
# connections to one listener, held until its stdin closes.
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
ip netns exec "$NS" python3 "$WORK/hold.py" "$TCP_PAIRS" "$WORK/ready" <"$WORK/hold" &
HOLDER=$!
exec 9>"$WORK/hold"
while ! [ -s "$WORK/ready" ]; do sleep 0.2; done

mkdir "$WORK/ca" "$WORK/cli"
"$BUILD/bin/qelca" init "$WORK/ca" >/dev/null
cp "$WORK/ca/kestrova.pem" "$WORK/cli/"
# One exact key, all 17 columns.
sed 's|<key>\*</key>|<key>11.198.18.0.10.tcp/443</key>|' "$SRC/examples/queries/kestrova-dependency-table.xml" >"$WORK/exact.xml"

now() { date +%s%N; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
cpu_of() { awk -v hz="$(getconf CLK_TCK)" '{sub(/.*\) /, ""); print ($12 + $13) * 1000 / hz}' "/proc/$1/stat"; }
q() { (cd "$WORK/cli" && exec ip netns exec "$NS" "$BUILD/bin/qelquery" "127.0.0.1,$PORT" bench "$1"); }
# label file: median wall ms over RUNS, agent CPU ms per request, output lines
measure() {
    : >"$WORK/times"
    a0=$(cpu_of "$AGENT")
    for _ in $(seq "$RUNS"); do
        s=$(now); q "$2" >"$WORK/out" 2>&1 || true; e=$(now)
        echo $((e - s)) >>"$WORK/times"
    done
    a1=$(cpu_of "$AGENT")
    printf '%-8s %-28s %9.1f ms wall  %8.1f ms agent CPU  %8s lines\n' "$N" "$1" \
        "$(median <"$WORK/times" | awk '{print $1 / 1e6}')" \
        "$(awk -v a="$a0" -v b="$a1" -v r="$RUNS" 'BEGIN {print (b - a) / r}')" "$(wc -l <"$WORK/out")"
}

for N in $SIZES; do
    rm -rf "$WORK/home"
    mkdir "$WORK/home"
    cp "$WORK/ca/kestrova.pem" "$WORK/home/"
    awk -v n="$N" 'BEGIN { for (i = 0; i < n; i++)
        printf "add 11 0 localhost 198.18.%d.%d tcp/443\n", int(i / 250), i % 250 + 1 }' >"$WORK/home/depfeed.txt"
    ip netns exec "$NS" env MIB2_REFRESH_SECONDS=2 "$BUILD/bin/qeld" -f -p 0 -l 127.0.0.1 \
        -H "$WORK/home" "$BUILD/plugins/mib2-linux.so" "$BUILD/plugins/kestrova-linux.so" \
        "$BUILD/tests/plugins/depfeed-linux.so" >"$WORK/qeld.out" 2>&1 &
    AGENT=$!
    tries=0
    until [ -s "$WORK/home/qeld.port" ] && grep -q "qeld ready" "$WORK/home/qeld.log" 2>/dev/null; do
        tries=$((tries + 1))
        if [ $tries -gt 3000 ] || ! kill -0 "$AGENT" 2>/dev/null; then
            echo "qeld did not start at $N:" >&2
            tail -20 "$WORK/qeld.out" >&2
            exit 1
        fi
        sleep 0.1
    done
    PORT=$(cat "$WORK/home/qeld.port")
    tries=0
    while [ "$(q "$SRC/examples/queries/kestrova-dependency-peer.xml" 2>/dev/null | grep -c dependServer)" -lt "$N" ]; do
        tries=$((tries + 1))
        [ $tries -lt 300 ] || { echo "the table did not fill at $N" >&2; exit 1; }
        sleep 1
    done
    # Filled: no more refreshes, so the agent's CPU time is the requests'
    # (the rows stay for the 600-s age-out; the first probe pass comes after
    # the 60-s scan interval).
    : >"$WORK/home/depfeed.txt"
    while [ "$(q "$SRC/examples/queries/mib2-tcp-table.xml" 2>/dev/null | grep -c tcpConnState)" -lt $((TCP_PAIRS * 2)) ]; do
        sleep 1
    done
    measure "dependencyTable 5 cols *" "$SRC/examples/queries/kestrova-dependency-peer.xml"
    measure "dependencyTable 17 cols *" "$SRC/examples/queries/kestrova-dependency-table.xml"
    measure "dependencyTable exact key" "$WORK/exact.xml"
    measure "tcpConnTable $((TCP_PAIRS * 2)) rows" "$SRC/examples/queries/mib2-tcp-table.xml"
    stop_agent
done
