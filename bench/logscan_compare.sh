#!/bin/sh
# One log-file monitor and one rule beside pcre2grep -c (same engine, a
# match per line) and grep -Ec on the same syslog-like file (10^6 lines of
# ~100 bytes from bench_logscan's generator) and expression, LC_ALL=C,
# output to a file, medians of 5 wall-clock runs. Installs pcre2-utils with apt-get when
# missing. Builds nothing: run after building bench_logscan.
# usage: bench/logscan_compare.sh [BUILD_DIR] [LINES]
set -eu
case "${1:-}" in
-h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
BUILD=${1:-$(dirname "$0")/../build}
BUILD=$(cd "$BUILD" && pwd)
LINES=${2:-1000000}
DRIVER=$BUILD/bench/bench_logscan
[ -x "$DRIVER" ] || { echo "logscan_compare: no $DRIVER (build the bench_logscan target)" >&2; exit 1; }
if ! command -v pcre2grep >/dev/null; then
    echo "installing pcre2-utils" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q pcre2-utils >/dev/null
fi
export LC_ALL=C
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
LOG=$TMP/syslog
LOGSCAN_WRITE=$LOG LOGSCAN_LINES=$LINES "$DRIVER"
RE='connect from [^[]*\[([0-9.]+)\]'

# Median wall time (seconds) of 5 runs of the command, and with perf the
# median CPU time (task-clock, user and system).
PERF=
if command -v perf >/dev/null && perf stat -x, -e task-clock true >/dev/null 2>&1; then PERF=perf; fi
median() {
    for _ in 1 2 3 4 5; do
        s=$(date +%s.%N)
        "$@" >"$TMP/out" 2>/dev/null || true
        e=$(date +%s.%N)
        echo "$e - $s" | bc
    done | sort -n | sed -n 3p | tr '\n' ' '
    echo "s wall"
    if [ -n "$PERF" ]; then
        for _ in 1 2 3 4 5; do
            perf stat -x, -e task-clock -o "$TMP/stat" "$@" >"$TMP/out" 2>/dev/null || true
            grep task-clock "$TMP/stat" | cut -d, -f1
        done | sort -n | sed -n 3p | awk '{printf "              %.1f ms CPU\n", $1}'
    fi
}

echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "file: $(wc -l <"$LOG") lines, $(wc -c <"$LOG") bytes; expression: $RE"
echo "pcre2grep -c: count $(pcre2grep -c "$RE" "$LOG"), $(median pcre2grep -c "$RE" "$LOG")"
echo "grep -Ec:     count $(grep -Ec "$RE" "$LOG"), $(median grep -Ec "$RE" "$LOG")"
echo "grep -Pc:     $(median grep -Pc "$RE" "$LOG")"
echo "wc -l:        $(median wc -l "$LOG")"
echo "kestrova read alone (bench_logscan, a monitor without an expression; Time is wall, CPU the scanning thread's):"
"$DRIVER" --benchmark_filter="BM_ReadOnly/$LINES/" --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true 2>/dev/null | grep -E "median"
echo "kestrova monitor (bench_logscan, 1 expression):"
"$DRIVER" --benchmark_filter="BM_Monitors/$LINES/1/" --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true 2>/dev/null | grep -E "median"
echo "kestrova rule (bench_logscan, 1 add expression, each match added to the graph):"
"$DRIVER" --benchmark_filter="BM_Rules/$LINES/1/-1/" --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true 2>/dev/null | grep -E "median"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
