#!/bin/sh
# The file-system table's reload and prune beside df -P and the floor, at
# 50, 500 and 5,000 tmpfs mounts made in a private mount namespace (the
# host's own mounts are untouched and count too). Per size: df -P (median
# of 5 wall-clock runs, output to /dev/null), then bench_sysinfo in the same
# namespace: FsMountinfo (one read and parse of /proc/self/mountinfo),
# FsFloor (that read plus a plain statvfs loop), FsReload (reload + prune)
# and FsReloadStuck (the same once one mount's statvfs has hung). Needs
# root (unshare --mount). Builds nothing: run after building bench_sysinfo.
# usage: bench/sysinfo_compare.sh [BUILD_DIR] [SIZES...]
set -eu
case "${1:-}" in
-h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
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
        echo "== $N tmpfs mounts ($total in mountinfo)"
        echo "df -P: $(median df -P) us (median of 5)"
        "$DRIVER" --benchmark_filter="Fs(Mountinfo|Floor|Reload|ReloadStuck)$" --benchmark_repetitions=5 \
            --benchmark_report_aggregates_only=true 2>/dev/null | grep -E "_median"
    '
done
