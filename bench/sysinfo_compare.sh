#!/bin/sh
# The file-system table's reload and prune beside df -P and the floor, at
# 50, 500 and 5,000 tmpfs mounts made in a private mount namespace (the
# host's own mounts are untouched and count too). Per size: df -P (median
# of 5 wall-clock runs, output to /dev/null), then bench_sysinfo in the same
# namespace: FsMountinfo (one read and parse of /proc/self/mountinfo),
# FsFloor (that read plus a plain statvfs loop), FsReload (reload + prune),
# FsReloadStuck (the same once one mount's statvfs has hung) and
# FsThreadPerCall (the plain loop with a thread per statvfs). Then the
# worker's whole pass on a generated tree (64 CPUs, 500 mounts) beside its
# floor, and filesysTable (QSIZE=500 mounts, 14 columns) fetched with
# qelquery from qeld in a network namespace of its own beside df -P. The
# load average is printed with each set of figures. Needs root (unshare
# --mount, ip netns). Builds nothing: run after building bench_sysinfo,
# qeld, qelca, qelquery and the plug-ins.
# usage: bench/sysinfo_compare.sh [BUILD_DIR] [SIZES...]   (QSIZE=500)
set -eu
case "${1:-}" in
-h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
BUILD=${1:-$(dirname "$0")/../build}
BUILD=$(cd "$BUILD" && pwd)
[ $# -gt 0 ] && shift
SIZES=${*:-50 500 5000}
DRIVER=$BUILD/bench/bench_sysinfo
[ -x "$DRIVER" ] || { echo "sysinfo_compare: no $DRIVER (build the bench_sysinfo target)" >&2; exit 1; }
command -v unshare >/dev/null || { echo "sysinfo_compare: no unshare (util-linux)" >&2; exit 1; }
export LC_ALL=C DRIVER
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

for n in $SIZES; do
    mkdir -p "$TMP/$n"
    N=$n DIR=$TMP/$n unshare --mount --propagation private sh -c '
        set -eu
        i=0
        while [ "$i" -lt "$N" ]; do
            mkdir -p "$DIR/m$i"
            mount -t tmpfs -o size=1m kqbench "$DIR/m$i"
            i=$((i + 1))
        done
        total=$(wc -l </proc/self/mountinfo)
        median() {
            for _ in 1 2 3 4 5; do
                s=$(date +%s%N)
                "$@" >/dev/null 2>&1 || true
                e=$(date +%s%N)
                echo $(( (e - s) / 1000 ))
            done | sort -n | sed -n 3p
        }
        echo "== $N tmpfs mounts ($total in mountinfo; load $(cut -d" " -f1-3 /proc/loadavg))"
        echo "df -P: $(median df -P) us (median of 5)"
        "$DRIVER" --benchmark_filter="Fs(Mountinfo|Floor|Reload|ThreadPerCall|ReloadStuck)(/|$)" --benchmark_repetitions=5 \
            --benchmark_report_aggregates_only=true 2>/dev/null | grep -E "_median"
    '
done

# The worker's whole pass on a generated tree (64 CPUs, 500 mount points)
# beside its floor: wall time and the CPU time of all threads.
echo "== whole pass, 64 CPUs and 500 mounts (load $(cut -d' ' -f1-3 /proc/loadavg))"
"$DRIVER" --benchmark_filter="Whole(Pass|Floor)" --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true 2>/dev/null | grep -E "_median"

# filesysTable end to end at QSIZE tmpfs mounts (14 columns a row): qeld
# with mib2 and kestrova on the real root, inside a network namespace of
# its own (loopback only) and the mount namespace holding the mounts;
# qelquery's whole fetch beside df -P, medians of 5.
QSIZE=${QSIZE:-500}
for f in bin/qeld bin/qelca bin/qelquery plugins/mib2-linux.so plugins/kestrova-linux.so; do
    [ -e "$BUILD/$f" ] || { echo "sysinfo_compare: no $BUILD/$f: filesysTable not fetched" >&2; exit 0; }
done
NS=kq-sibench-$$
if ! ip netns add "$NS" 2>"$TMP/err"; then
    echo "sysinfo_compare: network namespaces are refused here: $(cat "$TMP/err")" >&2
    exit 0
fi
trap 'ip netns del "$NS" 2>/dev/null || true; rm -rf "$TMP"' EXIT
ip -n "$NS" link set lo up
mkdir -p "$TMP/ca" "$TMP/cli" "$TMP/home" "$TMP/q"
"$BUILD/bin/qelca" init "$TMP/ca" >/dev/null
cp "$TMP/ca/kestrova.pem" "$TMP/cli/"
cp "$TMP/ca/kestrova.pem" "$TMP/home/"
SRC=$(cd "$(dirname "$0")/.." && pwd)
export BUILD NS TMP QSIZE SRC
unshare --mount --propagation private sh -c '
    set -eu
    i=0
    while [ "$i" -lt "$QSIZE" ]; do
        mkdir -p "$TMP/q/m$i"
        mount -t tmpfs -o size=1m kqbench "$TMP/q/m$i"
        i=$((i + 1))
    done
    ip netns exec "$NS" "$BUILD/bin/qeld" -f -p 0 -l 127.0.0.1 -H "$TMP/home" \
        "$BUILD/plugins/mib2-linux.so" "$BUILD/plugins/kestrova-linux.so" >"$TMP/qeld.out" 2>&1 &
    AGENT=$!
    trap "kill $AGENT 2>/dev/null; wait $AGENT 2>/dev/null || true" EXIT
    tries=0
    until [ -s "$TMP/home/qeld.port" ] && grep -q "qeld ready" "$TMP/home/qeld.log" 2>/dev/null; do
        tries=$((tries + 1))
        [ $tries -lt 600 ] && kill -0 $AGENT 2>/dev/null || { tail "$TMP/qeld.out" >&2; exit 1; }
        sleep 0.1
    done
    PORT=$(cat "$TMP/home/qeld.port")
    q() { (cd "$TMP/cli" && ip netns exec "$NS" "$BUILD/bin/qelquery" "127.0.0.1,$PORT" bench \
        "$SRC/examples/queries/kestrova-filesys-table.xml"); }
    tries=0
    until [ "$(q 2>/dev/null | grep -c "kqbench")" -ge "$QSIZE" ]; do
        tries=$((tries + 1))
        [ $tries -lt 120 ] || { echo "filesysTable did not fill" >&2; exit 1; }
        sleep 0.5
    done
    median() {
        for _ in 1 2 3 4 5; do
            s=$(date +%s%N)
            "$@" >"$TMP/out" 2>&1 || true
            e=$(date +%s%N)
            echo $(( (e - s) / 1000 ))
        done | sort -n | sed -n 3p
    }
    # One scalar: the fixed cost of a qelquery run (start, TLS, ip netns exec).
    one() { (cd "$TMP/cli" && ip netns exec "$NS" "$BUILD/bin/qelquery" "127.0.0.1,$PORT" bench \
        "$SRC/examples/queries/kestrova-scalars.xml"); }
    cpu() { awk -v hz="$(getconf CLK_TCK)" "{sub(/.*\\) /, \"\"); print (\$12 + \$13) * 1000 / hz}" /proc/$AGENT/stat; }
    rows=$(q 2>/dev/null | grep -c "mountpoint")
    echo "== filesysTable at $QSIZE tmpfs mounts ($rows rows, $(q 2>/dev/null | wc -l) lines; load $(cut -d" " -f1-3 /proc/loadavg))"
    c0=$(cpu)
    echo "qelquery filesysTable: $(median q) us (median of 5)"
    c1=$(cpu)
    echo "agent CPU per filesysTable request: $(awk -v a="$c0" -v b="$c1" "BEGIN {print (b - a) / 5}") ms"
    echo "qelquery one scalar: $(median one) us (median of 5)"
    echo "df -P: $(median df -P) us (median of 5, $(df -P | wc -l) lines)"
'
