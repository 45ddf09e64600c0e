#!/bin/sh
# ICMP probes of many hosts: the kestrova prober (pingHostMany, and pingHost
# in turn at N=10) beside Debian's fping and iputils ping, on the same
# targets, inside three network namespaces this script makes and removes:
#   A (the prober) -- B -- C, A reaching every target through B.
#   B answers 198.18.0.0/22 and 2001:db8:100::/64 (local routes on lo);
#   C ignores echo requests on 198.18.4.0/22 and 2001:db8:200::/64.
# Targets: N = 10, 100, 1000 (or the N given), half of them silent, both
# families. Three packets per target, one-second waits.
# Needs root (ip netns); installs fping and iputils-ping with apt-get when
# missing. Builds nothing: run after building bench_ping.
# usage: bench/ping_compare.sh [BUILD_DIR] [N ...]
set -eu
case "${1:-}" in
-h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
BUILD=${1:-$(dirname "$0")/../build}
BUILD=$(cd "$BUILD" && pwd)
[ $# -gt 0 ] && shift
SIZES=${*:-10 100 1000}
DRIVER=$BUILD/bench/bench_ping
[ -x "$DRIVER" ] || { echo "ping_compare: no $DRIVER (build the bench_ping target)" >&2; exit 1; }
if [ "$(id -u)" != 0 ]; then echo "ping_compare: needs root for network namespaces" >&2; exit 1; fi
if ! command -v fping >/dev/null || ! command -v ping >/dev/null; then
    echo "installing fping and iputils-ping" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q fping iputils-ping >/dev/null
fi
FPING=$(command -v fping)
PING=$(command -v ping)

ID=$$
A=kpc-$ID-a; B=kpc-$ID-b; C=kpc-$ID-c
WORK=$(mktemp -d /tmp/pingbench.XXXXXX)
cleanup() {
    for ns in $A $B $C; do ip netns del "$ns" 2>/dev/null || true; done
    # PING_COMPARE_KEEP=DIR keeps the target lists and the tools' outputs.
    [ -n "${PING_COMPARE_KEEP:-}" ] && cp -r "$WORK/." "$PING_COMPARE_KEEP/" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

for ns in $A $B $C; do ip netns add "$ns"; ip -n "$ns" link set lo up; done
ip link add kab$ID netns $A type veth peer name kba$ID netns $B
ip link add kbc$ID netns $B type veth peer name kcb$ID netns $C
ip -n $A addr add 192.0.2.1/24 dev kab$ID
ip -n $A addr add 2001:db8:b::1/64 dev kab$ID nodad
ip -n $B addr add 192.0.2.2/24 dev kba$ID
ip -n $B addr add 2001:db8:b::2/64 dev kba$ID nodad
ip -n $B addr add 203.0.113.1/24 dev kbc$ID
ip -n $B addr add 2001:db8:c::1/64 dev kbc$ID nodad
ip -n $C addr add 203.0.113.2/24 dev kcb$ID
ip -n $C addr add 2001:db8:c::2/64 dev kcb$ID nodad
ip -n $A link set kab$ID up; ip -n $B link set kba$ID up
ip -n $B link set kbc$ID up; ip -n $C link set kcb$ID up
ip -n $B route add local 198.18.0.0/22 dev lo
ip -n $B -6 route add local 2001:db8:100::/64 dev lo
ip -n $C route add local 198.18.4.0/22 dev lo
ip -n $C -6 route add local 2001:db8:200::/64 dev lo
ip -n $B route add 198.18.4.0/22 via 203.0.113.2
ip -n $B -6 route add 2001:db8:200::/64 via 2001:db8:c::2
ip -n $A route add 198.18.0.0/21 via 192.0.2.2
ip -n $A -6 route add 2001:db8:100::/64 via 2001:db8:b::2
ip -n $A -6 route add 2001:db8:200::/64 via 2001:db8:b::2
ip netns exec $B sh -c 'echo 1 > /proc/sys/net/ipv4/ip_forward; echo 1 > /proc/sys/net/ipv6/conf/all/forwarding'
ip netns exec $C sh -c 'echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all; echo 1 > /proc/sys/net/ipv6/icmp/echo_ignore_all'
# Links pass packets only once the kernel has switched them on.
for i in $(seq 50); do
    ip -n $A -o link show dev kab$ID | grep -q "state UP" && ip -n $B -o link show dev kbc$ID | grep -q "state UP" && break
    sleep 0.1
done
inA() { ip netns exec $A "$@"; }
inA "$PING" -q -c 1 -W 2 198.18.0.1 >/dev/null
inA "$PING" -q -c 1 -W 2 2001:db8:100::1 >/dev/null

# Wall and CPU (user + system) seconds of a command and its children.
cat >"$WORK/measure.py" <<'PY'
import resource, subprocess, sys, time
# Children waited for before (a launcher's own) are not the command's.
r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
t0 = time.monotonic()
p = subprocess.run(sys.argv[2:], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
wall = time.monotonic() - t0
r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
open(sys.argv[1], "w").write(p.stdout)
print("wall=%.3f cpu=%.3f" % (wall, r1.ru_utime + r1.ru_stime - r0.ru_utime - r0.ru_stime))
PY
PY=$(command -v /usr/bin/python3 python3 | head -n 1)
measure() { out=$1; shift; inA "$PY" "$WORK/measure.py" "$out" "$@"; }

# N targets: the first half answering, the second silent, each half
# alternating IPv4 and IPv6.
targets() {
    "$PY" - "$1" <<'PY'
import sys
n = int(sys.argv[1])
k = [0, 0, 0, 0]
for i in range(n):
    kind = (0 if i < n // 2 else 2) + i % 2
    k[kind] += 1
    j = k[kind]
    if kind == 0: print("198.18.%d.%d" % (j // 256, j % 256))
    elif kind == 1: print("2001:db8:100::%x" % j)
    elif kind == 2: print("198.18.%d.%d" % (4 + j // 256, j % 256))
    else: print("2001:db8:200::%x" % j)
PY
}

echo "ping_compare: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg) (the machine may be shared: figures vary with its load)"
printf "%-6s %-28s %8s %8s %s\n" N run wall_s cpu_s result
for N in $SIZES; do
    targets "$N" >"$WORK/t$N"
    r=$(inA "$DRIVER" many "$WORK/t$N" 3 1)
    w=$(echo "$r" | sed 's/.*wall=\([0-9.]*\).*/\1/'); c=$(echo "$r" | sed 's/.*cpu=\([0-9.]*\).*/\1/')
    printf "%-6s %-28s %8s %8s %s\n" "$N" "pingHostMany" "$w" "$c" "$(echo "$r" | grep -o ' answered=[0-9]* all_packets_answered=[0-9]*' | sed 's/^ //')"
    eval "many_w_$N=$w many_c_$N=$c"
    if [ "$N" -le 10 ]; then
        r=$(inA "$DRIVER" each "$WORK/t$N" 3 1)
        printf "%-6s %-28s %8s %8s %s\n" "$N" "pingHost in turn" "$(echo "$r" | sed 's/.*wall=\([0-9.]*\).*/\1/')" \
            "$(echo "$r" | sed 's/.*cpu=\([0-9.]*\).*/\1/')" "$(echo "$r" | grep -o ' answered=[0-9]*' | tr -d ' ')"
    fi
    m=$(measure "$WORK/fping$N" "$FPING" -q -c 3 -t 1000 -i 1 -f "$WORK/t$N")
    w=$(echo "$m" | sed 's/.*wall=\([0-9.]*\).*/\1/'); c=$(echo "$m" | sed 's/.*cpu=\([0-9.]*\).*/\1/')
    alive=$(grep -c '= 3/3/0%' "$WORK/fping$N" || true)
    printf "%-6s %-28s %8s %8s %s\n" "$N" "fping -c 3 -t 1000 -i 1" "$w" "$c" "all_packets_answered=$alive"
    eval "fping_w_$N=$w fping_c_$N=$c"
done

# One reachable target: pingHost's call against three round trips.
m=$(measure "$WORK/ping1" "$PING" -q -c 3 -i 0.002 198.18.0.1)
rtt=$(sed -n 's/.*= [0-9.]*\/\([0-9.]*\)\/.*/\1/p' "$WORK/ping1")
r=$(inA "$DRIVER" one 198.18.0.1 20)
med=$(echo "$r" | sed 's/.*median_ms=\([0-9.]*\).*/\1/')
echo
echo "one reachable target: ping -c 3 -i 0.002 avg rtt ${rtt} ms ($m); pingHost $r"

echo
echo "goals:"
"$PY" - "$SIZES" "$rtt" "$med" <<PY
import sys
sizes = sys.argv[1].split()
rtt, med = float(sys.argv[2]), float(sys.argv[3])
vals = {$(for N in $SIZES; do eval "printf '\"%s\": (%s, %s, %s, %s), ' $N \$many_w_$N \$many_c_$N \$fping_w_$N \$fping_c_$N"; done)}
for n in sizes:
    mw, mc, fw, fc = vals[n]
    print("  N=%-5s wall %.3f s (<= 4 s: %s)" % (n, mw, "yes" if mw <= 4 else "NO"))
if "1000" in vals:
    mw, mc, fw, fc = vals["1000"]
    print("  N=1000 wall %.2fx fping's (<= 1.5x: %s), cpu %.2fx fping's (<= 2x: %s)" % (
        mw / fw, "yes" if mw <= 1.5 * fw else "NO", mc / fc if fc else float("inf"),
        "yes" if mc <= 2 * fc else "NO"))
print("  pingHost on a reachable target: median %.3f ms against three round trips %.3f ms + 1 ms (%s)" % (
    med, 3 * rtt, "yes" if med <= 3 * rtt + 1 else "NO"))
PY
