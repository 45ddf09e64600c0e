#!/bin/sh
# The subgraph end to end: qeld with mib2 and kestrova in a network namespace
# of its own (loopback only), seeded through KESTROVA_IMPORT_GRAPH with N
# dependencies shaped as bench_graph shapes them (N client hosts of one busy
# server), fetched with qelgetsubgraph. For each N it reports
#   - the fetch: qelgetsubgraph's median wall time, and beside it that of a
#     one-scalar qelquery get;
#   - the CPU time the agent and the client spend per fetch (the client's
#     from perf stat when perf is there, in nanoseconds, else from the
#     shell's child times in clock ticks; the agent's from /proc in ticks,
#     over all runs);
#   - the cost per dependency, wall and CPU: the fetch at N less the fetch of
#     an empty graph (size 0, run first: process start, TLS, the request, the
#     temporary file and its rename; all that a fetch pays whatever the
#     graph), divided by N. A get's time is not the fixed part of a fetch
#     (qelgetsubgraph asks three variables and writes a file), so fetch less
#     get (net_ms) leaves part of the fixed cost in and makes small graphs
#     look dear;
#   - page faults per fetch, of the agent (a_flt/f) and of the client
#     (c_flt/f), with perf: fresh 4 KiB pages cost several microseconds each
#     under a hypervisor, so they show where a size's cost comes from;
#   - the agent's resident memory before, at its peak during the fetches and
#     a second after;
#   - beside it, coreutils on the same document: base64 -w0 and base64 -d;
#   - the load average at the start and the end of each size: on a busy
#     machine the wall times swell and the CPU times much less.
# The in-process figures (the export's lock time, the handler's export and
# encoding) come from bench_subgraph.
# The agent runs in a PID namespace of its own as well (where unshare is
# there): its process-table and discovery workers otherwise scan every
# process of the machine while the fetches run, and on a busy machine that
# work, hundreds of milliseconds at random moments, lands in the agent's CPU
# time. With perf the agent's CPU time and page faults per fetch are perf's
# (perf stat -p over the fetches), else its ticks from /proc.
# Needs root (ip netns). Everything it makes is removed at the end.
# usage: bench/subgraph_compare.sh [BUILD_DIR]   (SIZES="1000 10000 50000" RUNS=8;
# the empty graph and sizes below 50,000 run more often, as their differences
# are smaller)
set -eu
BUILD=${1:-$(dirname "$0")/../build}
BUILD=$(cd "$BUILD" && pwd)
SIZES=${SIZES:-"1000 10000 50000"}
RUNS=${RUNS:-8}
for f in bin/qeld bin/qelca bin/qelquery bin/qelgetsubgraph plugins/mib2-linux.so plugins/kestrova-linux.so; do
    [ -e "$BUILD/$f" ] || { echo "missing $BUILD/$f: build it first" >&2; exit 1; }
done
NS=kq-sgbench-$$
WORK=$(mktemp -d /tmp/subgraphbench.XXXXXX)
AGENT=""
WRAPPER=""
stop_agent() {
    if [ -n "$AGENT" ]; then
        kill "$AGENT" 2>/dev/null || true
        wait "$WRAPPER" 2>/dev/null || true
        AGENT=""
    fi
}
cleanup() {
    stop_agent
    ip netns del "$NS" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

if ! ip netns add "$NS" 2>"$WORK/err"; then
    echo "network namespaces are not permitted here: $(cat "$WORK/err")" >&2
    exit 1
fi
ip -n "$NS" link set lo up

mkdir "$WORK/ca" "$WORK/cli"
"$BUILD/bin/qelca" init "$WORK/ca" >/dev/null
cp "$WORK/ca/kestrova.pem" "$WORK/cli/"
cat >"$WORK/get.xml" <<'XML'
<?xml version="1.0" encoding='US-ASCII' ?>
<qel xmlns="http://qel.kestrova.org/xsd/qel-1.0" message-id="1">
<GetRequest>
<error-status>noError</error-status>
<error-index>0</error-index>
<variableList>
<variable>
<varname><mib>kestrova</mib><object>numGraphEdges</object><key/></varname>
<varvalue vartype="nullSyntax"/>
</variable>
</variableList>
</GetRequest>
</qel>
XML

now() { date +%s%N; }
# median of the numbers on standard input
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
PIDNS=""
ip netns exec "$NS" unshare --pid --fork --mount-proc true 2>/dev/null && PIDNS="unshare --pid --fork --mount-proc"
PERF=""
command -v perf >/dev/null 2>&1 && perf stat -x, -e task-clock -o /dev/null -- true 2>/dev/null && PERF=perf
# runs command R times; median wall time in nanoseconds. With perf, the
# summed CPU time of the runs (milliseconds) goes to $WORK/cpu, and the wall
# time is perf's duration_time (its own start left out).
timed() {
    : >"$WORK/times"
    : >"$WORK/cpus"
    : >"$WORK/faults"
    for _ in $(seq "$R"); do
        if [ -n "$PERF" ]; then
            # perf's own start is not the command's: its duration_time is.
            perf stat -x, -e task-clock,duration_time,page-faults -o "$WORK/perf" -- "$@" >"$WORK/out" 2>"$WORK/errout" ||
                { cat "$WORK/errout" >&2; return 1; }
            awk -F, '$3 == "task-clock" {print $1}' "$WORK/perf" >>"$WORK/cpus"
            awk -F, '$3 == "page-faults" {print $1}' "$WORK/perf" >>"$WORK/faults"
            awk -F, '$3 == "duration_time" {print $1}' "$WORK/perf" >>"$WORK/times"
        else
            s=$(now); "$@" >"$WORK/out" 2>"$WORK/errout" || { cat "$WORK/errout" >&2; return 1; }
            e=$(now)
            echo $((e - s)) >>"$WORK/times"
        fi
    done
    awk '{t += $1} END {print t + 0}' "$WORK/cpus" >"$WORK/cpu"
    median <"$WORK/times"
}
kb() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status"; }
# CPU time (user + system) in milliseconds: of process $1, and of this
# shell's finished children as "times" wrote them into $WORK/times.$1 (it
# must run in this shell, not in a subshell). On a busy machine the wall times above swell
# while these stay put.
cpu_of() { awk -v hz="$(getconf CLK_TCK)" '{sub(/.*\) /, ""); print ($12 + $13) * 1000 / hz}' "/proc/$1/stat"; }
cpu_children() {
    awk 'NR == 2 {
        t = 0
        for (i = 1; i <= 2; i++) { split($i, p, "m"); sub(/s/, "", p[2]); t += p[1] * 60 + p[2] }
        print t * 1000 }' "$WORK/times.$1"
}
ms() { awk -v n="$1" 'BEGIN {printf "%.1f", n / 1e6}'; }

# The clients run from the directory holding the CA file.
cd "$WORK/cli"

loadavg() { cut -d' ' -f1 /proc/loadavg; }

printf '%-7s %6s %6s %8s %7s %7s %8s %9s %9s %7s %7s %7s %8s %8s %8s %7s %7s %6s\n' deps doc_MB b64_MB fetch_ms get_ms \
    net_ms wall_us/d agent_cpu client_cpu cpu_us/d a_flt/f c_flt/f rss_idle rss_peak rss_after enc_ms dec_ms load
base_fetch=""
base_cpu=""
for N in 0 $SIZES; do
    R=$RUNS
    [ "$N" -lt 50000 ] && R=$((RUNS * 2))
    [ "$N" -le 1000 ] && R=$((RUNS * 6))
    load0=$(loadavg)
    rm -rf "$WORK/home"
    mkdir "$WORK/home"
    cp "$WORK/ca/kestrova.pem" "$WORK/home/"
    awk -v n="$N" 'BEGIN {
        print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        print "<graphml>"
        print "<graph id=\"server.example.com graph\" edgedefault=\"directed\">"
        for (i = 0; i < n; i++)
            printf "<edge id=\"e\" type=\"11\" src=\"3\" pov=\"1\" ptr=\"1\" args=\"443\" client=\"client%d.example.com\" server=\"server.example.com\" />\n", i
        print "</graph>"
        print "</graphml>"
    }' >"$WORK/seed.xml"
    ip netns exec "$NS" $PIDNS env KESTROVA_IMPORT_GRAPH="$WORK/seed.xml" "$BUILD/bin/qeld" -f -p 0 -l 127.0.0.1 \
        -H "$WORK/home" "$BUILD/plugins/mib2-linux.so" "$BUILD/plugins/kestrova-linux.so" >"$WORK/qeld.out" 2>&1 &
    AGENT=$!
    WRAPPER=$AGENT
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
    if [ -n "$PIDNS" ]; then
        # ip netns exec, then unshare, then qeld: the agent is the wrapper's
        # grandchild (or child, where ip execs unshare in place).
        inner=$(pgrep -P "$WRAPPER" | head -1)
        AGENT=$(pgrep -x -P "$inner" qeld || echo "$inner")
    fi
    set -- ip netns exec "$NS" "$BUILD/bin/qelgetsubgraph" "127.0.0.1,$PORT" bench "$WORK/graph.xml"
    "$@" >/dev/null 2>&1   # warm: first export sizes the buffers
    ip netns exec "$NS" "$BUILD/bin/qelquery" "127.0.0.1,$PORT" bench "$WORK/get.xml" >/dev/null 2>&1
    edges=$(grep -c "<edge " "$WORK/graph.xml" || true)
    [ "$edges" -ge "$N" ] || { echo "the agent holds $edges edges, not $N" >&2; exit 1; }
    sleep 1
    idle=$(kb "$AGENT" VmRSS)
    echo 5 >"/proc/$AGENT/clear_refs"   # peak RSS from here on
    agent0=$(cpu_of "$AGENT"); times >"$WORK/times.0"
    if [ -n "$PERF" ]; then
        perf stat -x, -e task-clock,page-faults -p "$AGENT" -o "$WORK/agent.perf" &
        APERF=$!
        sleep 0.2
    fi
    fetch_ns=$(timed ip netns exec "$NS" "$BUILD/bin/qelgetsubgraph" "127.0.0.1,$PORT" bench "$WORK/graph.xml")
    fetch_pcpu=$(cat "$WORK/cpu")
    fetch_faults=$(awk '{f += $1} END {print f + 0}' "$WORK/faults")
    agent1=$(cpu_of "$AGENT"); times >"$WORK/times.1"
    agent_faults="-"
    if [ -n "$PERF" ]; then
        kill -INT "$APERF"
        wait "$APERF" || true
        agent_perf_ms=$(awk -F, '$3 == "task-clock" {print $1}' "$WORK/agent.perf")
        agent_faults=$(awk -F, -v r="$R" '$3 == "page-faults" {printf "%.0f", $1 / r}' "$WORK/agent.perf")
    fi
    get_ns=$(timed ip netns exec "$NS" "$BUILD/bin/qelquery" "127.0.0.1,$PORT" bench "$WORK/get.xml")
    agent2=$(cpu_of "$AGENT"); times >"$WORK/times.2"
    if [ -n "$PERF" ]; then
        client_cpu=$(awk -v c="$fetch_pcpu" -v r="$R" 'BEGIN {printf "%.2f", c / r}')
    else
        client0=$(cpu_children 0); client1=$(cpu_children 1)
        client_cpu=$(awk -v a="$client0" -v b="$client1" -v r="$R" 'BEGIN {printf "%.2f", (b - a) / r}')
    fi
    if [ -n "$PERF" ]; then
        agent_cpu=$(awk -v a="$agent_perf_ms" -v r="$R" 'BEGIN {printf "%.2f", a / r}')
    else
        agent_cpu=$(awk -v a="$agent0" -v b="$agent1" -v r="$R" 'BEGIN {printf "%.2f", (b - a) / r}')
    fi
    client_faults=$(awk -v f="$fetch_faults" -v r="$R" 'BEGIN {printf "%.0f", f / r}')
    peak=$(kb "$AGENT" VmHWM)
    sleep 1
    after=$(kb "$AGENT" VmRSS)
    base64 -w0 "$WORK/graph.xml" >"$WORK/graph.b64"
    R=$RUNS
    enc_ns=$(timed base64 -w0 "$WORK/graph.xml")
    dec_ns=$(timed base64 -d "$WORK/graph.b64")
    doc=$(stat -c %s "$WORK/graph.xml")
    b64=$(stat -c %s "$WORK/graph.b64")
    net=$((fetch_ns - get_ns))
    cpu=$(awk -v a="$agent_cpu" -v c="$client_cpu" 'BEGIN {print a + c}')
    if [ "$N" -eq 0 ]; then
        base_fetch=$fetch_ns
        base_cpu=$cpu
        wall_per="-"
        cpu_per="-"
    else
        wall_per=$(awk -v t="$fetch_ns" -v b="$base_fetch" -v n="$N" 'BEGIN {printf "%.2f", (t - b) / 1e3 / n}')
        cpu_per=$(awk -v t="$cpu" -v b="$base_cpu" -v n="$N" 'BEGIN {printf "%.2f", (t - b) * 1e3 / n}')
    fi
    printf '%-7s %6.2f %6.2f %8s %7s %7s %8s %9s %9s %7s %7s %7s %8s %8s %8s %7s %7s %6s\n' "$N" \
        "$(awk -v b="$doc" 'BEGIN {print b / 1e6}')" "$(awk -v b="$b64" 'BEGIN {print b / 1e6}')" \
        "$(ms "$fetch_ns")" "$(ms "$get_ns")" "$(ms "$net")" "$wall_per" \
        "${agent_cpu}ms" "${client_cpu}ms" "$cpu_per" "$agent_faults" "$client_faults" "${idle}kB" "${peak}kB" "${after}kB" \
        "$(ms "$enc_ns")" "$(ms "$dec_ns")" "$load0-$(loadavg)"
    stop_agent
done
