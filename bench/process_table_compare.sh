#!/bin/sh
# processTable and processEndptTable end to end, beside the host's own tools.
# In a network namespace of its own (loopback only) the script starts N
# helper processes with 12 sockets each (`bench_process_table --hold N`),
# then qeld with mib2 and kestrova on a host root that links /proc and /sys
# live, and once the tables are filled asks with qelquery for both whole
# tables and for mib2's tcpConnTable. In the same run, in the same
# namespace: `ps -eo pid,ppid,uid,gid,rss,vsz,stat,nlwp,time,lstart,args`,
# `ss -tuan`, `ss -tuanp` (the same join of sockets to processes) and
# `ss -tanp`. Reports median wall times over RUNS, the agent's CPU time per
# request and the variables each reply holds. With perf(1) the agent's CPU
# is that of the thread serving the requests (the session threads it starts
# count into it), in nanoseconds, per request: the agent's reloads and
# refreshes run in threads of their own and stay out. Then RUNS pairs of
# processEndptTable and tcpConnTable, in turns, give the CPU per variable of
# each and the median of the pairs' ratios. Without perf the agent's CPU
# comes from its clock ticks over all RUNS (a few percent resolution).
# Needs root (ip netns). Everything it makes is removed at the end.
# usage: bench/process_table_compare.sh [BUILD_DIR]   (SIZES="1000 10000" RUNS=3)
set -eu
BUILD=${1:-$(dirname "$0")/../build}
BUILD=$(cd "$BUILD" && pwd)
SRC=$(cd "$(dirname "$0")/.." && pwd)
SIZES=${SIZES:-"1000 10000"}
RUNS=${RUNS:-3}
for f in bin/qeld bin/qelca bin/qelquery plugins/mib2-linux.so plugins/kestrova-linux.so bench/bench_process_table; do
    [ -e "$BUILD/$f" ] || { echo "missing $BUILD/$f: build it first" >&2; exit 1; }
done
NS=kq-ptbench-$$
WORK=$(mktemp -d /tmp/ptbench.XXXXXX)
AGENT=""
HOLDER=""
stop_agent() {
    if [ -n "$AGENT" ]; then
        kill "$AGENT" 2>/dev/null || true
        wait "$AGENT" 2>/dev/null || true
        AGENT=""
    fi
}
stop_holder() {
    exec 9>&- 2>/dev/null || true
    if [ -n "$HOLDER" ]; then
        wait "$HOLDER" 2>/dev/null || true
        HOLDER=""
    fi
}
cleanup() {
    stop_agent
    stop_holder
    ip netns del "$NS" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

if ! ip netns add "$NS" 2>"$WORK/err"; then
    echo "network namespaces are not permitted here: $(cat "$WORK/err")" >&2
    exit 1
fi
ip -n "$NS" link set lo up
mkdir "$WORK/ca" "$WORK/cli" "$WORK/root"
"$BUILD/bin/qelca" init "$WORK/ca" >/dev/null
cp "$WORK/ca/kestrova.pem" "$WORK/cli/"
# No configuration files: discovery finds nothing to resolve or probe.
ln -s /proc "$WORK/root/proc"
ln -s /sys "$WORK/root/sys"

now() { date +%s%N; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
cpu_of() { awk -v hz="$(getconf CLK_TCK)" '{sub(/.*\) /, ""); print ($12 + $13) * 1000 / hz}' "/proc/$1/stat"; }
q() { (cd "$WORK/cli" && exec ip netns exec "$NS" "$BUILD/bin/qelquery" "127.0.0.1,$PORT" bench "$1"); }
HAVE_PERF=0
command -v perf >/dev/null 2>&1 && perf stat -e task-clock -x, -o /dev/null true >/dev/null 2>&1 && HAVE_PERF=1
# Runs a command; with perf, prints the CPU (ns) the agent's serving thread
# spent meanwhile, else nothing.
served() {
    if [ "$HAVE_PERF" = 0 ]; then
        "$@" >"$WORK/out" 2>&1 || true
        return
    fi
    perf stat --per-thread -e task-clock -x, -p "$AGENT" -o "$WORK/perf" &
    p=$!
    sleep 0.1 # perf has attached
    "$@" >"$WORK/out" 2>&1 || true
    kill -INT $p
    wait $p || true
    awk -F, -v t="qeld-$AGENT" '$1 == t {printf "%.0f\n", $2 * 1e6}' "$WORK/perf"
}
vars() { awk '/^Variables:/ {print $2; exit}' "$WORK/out"; }
# label command...: median wall ms over RUNS, agent CPU ms per run, lines
# ("ip netns exec" and env exec the agent in their own place: $AGENT is it)
measure() {
    label=$1
    shift
    : >"$WORK/times"
    : >"$WORK/cpu"
    a0=$(cpu_of "$AGENT")
    for _ in $(seq "$RUNS"); do
        s=$(now)
        if [ "$HAVE_PERF" = 1 ] && [ "$1" = q ]; then
            served "$@" >>"$WORK/cpu"
        else
            "$@" >"$WORK/out" 2>&1 || true
        fi
        e=$(now)
        echo $((e - s)) >>"$WORK/times"
    done
    a1=$(cpu_of "$AGENT")
    if [ -s "$WORK/cpu" ]; then
        cpu="$(median <"$WORK/cpu" | awk '{print $1 / 1e6}') ms agent CPU (median)"
    else
        cpu="$(awk -v a="$a0" -v b="$a1" -v r="$RUNS" 'BEGIN {print (b - a) / r}') ms agent CPU (ticks)"
    fi
    printf '%-6s %-30s %9.1f ms wall  %28s  %8s lines\n' "$N" "$label" \
        "$(median <"$WORK/times" | awk '{print $1 / 1e6}')" "$cpu" "$(wc -l <"$WORK/out")"
}
# RUNS pairs of the two tables in turns (which goes first alternates):
# agent CPU per variable of each, median, and the median of the pairs' ratio.
compare_per_variable() {
    [ "$HAVE_PERF" = 1 ] || return 0
    : >"$WORK/pairs"
    for i in $(seq "$RUNS"); do
        if [ $((i % 2)) = 1 ]; then
            e=$(served q "$SRC/examples/queries/kestrova-process-endpt-table.xml"); ev=$(vars)
            t=$(served q "$SRC/examples/queries/mib2-tcp-table.xml"); tv=$(vars)
        else
            t=$(served q "$SRC/examples/queries/mib2-tcp-table.xml"); tv=$(vars)
            e=$(served q "$SRC/examples/queries/kestrova-process-endpt-table.xml"); ev=$(vars)
        fi
        [ -n "$e" ] && [ -n "$t" ] && [ "${ev:-0}" -gt 0 ] && [ "${tv:-0}" -gt 0 ] &&
            echo "$e $ev $t $tv" | awk '{printf "%.2f %.2f %.4f\n", $1 / $2, $3 / $4, ($1 / $2) / ($3 / $4)}' >>"$WORK/pairs"
    done
    [ -s "$WORK/pairs" ] || return 0
    col() { awk -v c="$1" '{print $c}' "$WORK/pairs" | median; }
    range() { awk '{print $3}' "$WORK/pairs" | sort -n | awk '{a[NR]=$1} END {printf "%s-%s", a[1], a[NR]}'; }
    printf '%-6s agent CPU per variable, %s pairs: processEndptTable %s ns, tcpConnTable %s ns, ratio %s (%s)\n' \
        "$N" "$(wc -l <"$WORK/pairs")" "$(col 1)" "$(col 2)" "$(col 3)" "$(range)"
}
in_ns() { ip netns exec "$NS" "$@"; }

for N in $SIZES; do
    ulimit -n $((N + 4096))
    mkfifo "$WORK/hold.$N"
    ip netns exec "$NS" "$BUILD/bench/bench_process_table" --hold "$N" <"$WORK/hold.$N" >"$WORK/ready.$N" &
    HOLDER=$!
    exec 9>"$WORK/hold.$N"
    tries=0
    until grep -q ready "$WORK/ready.$N" 2>/dev/null; do
        tries=$((tries + 1))
        if [ $tries -gt 6000 ] || ! kill -0 "$HOLDER" 2>/dev/null; then
            echo "the helpers did not start at $N" >&2
            exit 1
        fi
        sleep 0.1
    done
    rm -rf "$WORK/home"
    mkdir "$WORK/home"
    cp "$WORK/ca/kestrova.pem" "$WORK/home/"
    ip netns exec "$NS" env KESTROVA_HOST_ROOT="$WORK/root" MIB2_REFRESH_SECONDS=5 "$BUILD/bin/qeld" -f -p 0 -l 127.0.0.1 \
        -H "$WORK/home" "$BUILD/plugins/mib2-linux.so" "$BUILD/plugins/kestrova-linux.so" >"$WORK/qeld.out" 2>&1 &
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
    # The first reload runs when the agent starts; the next one 30 s later.
    tries=0
    while [ "$(q "$SRC/examples/queries/kestrova-process-table.xml" 2>/dev/null | grep -c "processName")" -lt "$N" ]; do
        tries=$((tries + 1))
        [ $tries -lt 300 ] || { echo "the process table did not fill at $N" >&2; exit 1; }
        sleep 1
    done
    measure "processTable (14 cols)" q "$SRC/examples/queries/kestrova-process-table.xml"
    measure "processEndptTable (8 cols)" q "$SRC/examples/queries/kestrova-process-endpt-table.xml"
    measure "tcpConnTable" q "$SRC/examples/queries/mib2-tcp-table.xml"
    compare_per_variable
    measure "ps -eo ..." ps -eo pid,ppid,uid,gid,rss,vsz,stat,nlwp,time,lstart,args
    measure "ss -tuan" in_ns ss -tuan
    measure "ss -tuanp" in_ns ss -tuanp
    measure "ss -tanp" in_ns ss -tanp
    stop_agent
    stop_holder
done
