#!/bin/sh
# Whole-process time of one query: qelquery's get of mib2:ipInReceives from
# qeld (with mib2 only) against snmpget -v2c of IP-MIB::ipInReceives.0 from
# Debian's snmpd, both on loopback, in paired runs taken in turn (qelquery,
# snmpget, qelquery, ...), so that a machine whose speed drifts slows both.
# qelquery's runs include the TLS handshake and both certificate checks; the
# first run enrols the client and is not counted, and later runs resume the
# TLS session kept in the client's directory as a user's repeated queries do.
# QELQUERY_FRESH=1 removes the kept session before every run (a full
# handshake each time). Installs snmpd/snmp with apt-get when missing; snmpd
# runs with its own config on 127.0.0.1:SNMP_PORT and both agents are
# stopped at the end.
# Prints the median wall and CPU times of each and the median of the
# per-pair ratios qelquery/snmpget. QELQUERY names another qelquery binary
# to time (a build with -DKESTROVA_STATIC_CLIENT=ON, say) against the same
# agent.
# usage: bench/qelquery_start_compare.sh [RUNS] [BUILD_DIR]
set -eu
RUNS=${1:-30}
BUILD=${2:-$(dirname "$0")/../build}
BUILD=$(cd "$BUILD" && pwd)
SNMP_PORT=${SNMP_PORT:-16163}
FRESH=${QELQUERY_FRESH:-0}
CLIENT=${QELQUERY:-$BUILD/bin/qelquery}
WORK=$(mktemp -d /tmp/qqstart.XXXXXX)
PIDS=""
cleanup() {
    for p in $PIDS; do kill "$p" 2>/dev/null || true; done
    for p in $PIDS; do wait "$p" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

if ! command -v snmpget >/dev/null || ! [ -x /usr/sbin/snmpd ]; then
    echo "installing snmpd and snmp" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q snmpd snmp >/dev/null
fi

mkdir "$WORK/ca" "$WORK/home" "$WORK/cli"
"$BUILD/bin/qelca" init "$WORK/ca" >/dev/null
cp "$WORK/ca/kestrova.pem" "$WORK/home/"
cp "$WORK/ca/kestrova.pem" "$WORK/cli/"
"$BUILD/bin/qeld" -f -p 0 -l 127.0.0.1 -H "$WORK/home" "$BUILD/plugins/mib2-linux.so" \
    >"$WORK/qeld.out" 2>&1 &
PIDS="$PIDS $!"
while ! [ -s "$WORK/home/qeld.port" ]; do sleep 0.1; done
PORT=$(cat "$WORK/home/qeld.port")

cat >"$WORK/snmpd.conf" <<CONF
agentaddress udp:127.0.0.1:$SNMP_PORT
rocommunity public 127.0.0.1
CONF
/usr/sbin/snmpd -f -Lo -C -c "$WORK/snmpd.conf" -p "$WORK/snmpd.pid" >"$WORK/snmpd.out" 2>&1 &
PIDS="$PIDS $!"

cat >"$WORK/get.xml" <<'XML'
<?xml version="1.0" encoding='US-ASCII' ?>
<qel xmlns="http://qel.kestrova.org/xsd/qel-1.0" message-id="1">
<GetRequest>
<error-status>noError</error-status>
<error-index>0</error-index>
<variableList>
<variable>
<varname><mib>mib2</mib><object>ipInReceives</object><key/></varname>
<varvalue vartype="nullSyntax"/>
</variable>
</variableList>
</GetRequest>
</qel>
XML

# One timed run: "wall cpu status" in seconds (the child's user+system
# time), from a small spawner: no shell or interpreter in the measured span.
cat >"$WORK/timeone.c" <<'C'
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
extern char **environ;
int main(int argc, char **argv) {
    if (argc < 4 || chdir(argv[2]) != 0)
        return 2;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    pid_t pid;
    if (posix_spawn(&pid, argv[3], &fa, NULL, argv + 3, environ) != 0)
        return 2;
    int status = 0;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) != pid)
        return 2;
    clock_gettime(CLOCK_MONOTONIC, &t1);
    printf("%.6f %.6f %d\n", (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9,
           ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6,
           WIFEXITED(status) ? WEXITSTATUS(status) : 128);
    return 0;
}
C
cc -O2 -o "$WORK/timeone" "$WORK/timeone.c"
qq() {
    [ "$FRESH" = 1 ] && rm -f "$WORK/cli/qelquery.session"
    "$WORK/timeone" "$WORK/qq.out" "$WORK/cli" "$CLIENT" "127.0.0.1,$PORT" \
        tester "$WORK/get.xml"
}
sg() {
    "$WORK/timeone" "$WORK/sg.out" "$WORK" /usr/bin/snmpget -v2c -c public \
        "127.0.0.1:$SNMP_PORT" 1.3.6.1.2.1.4.3.0
}

# Warm-up (enrolment, page cache, snmpd's start), checked.
for _ in 1 2 3; do qq >/dev/null; sg >/dev/null; done
grep -q "ipInReceives" "$WORK/qq.out" || { echo "qelquery got no answer:" >&2; cat "$WORK/qq.out" >&2; exit 1; }
grep -q "Counter32" "$WORK/sg.out" || { echo "snmpget got no answer:" >&2; cat "$WORK/sg.out" >&2; exit 1; }

: >"$WORK/pairs"
i=0
while [ "$i" -lt "$RUNS" ]; do
    a=$(qq); b=$(sg)
    echo "$a $b" >>"$WORK/pairs"
    i=$((i + 1))
done
awk -v runs="$RUNS" -v fresh="$FRESH" '
function median(v, n,   i, j, t) {
    for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j-1] > v[j]; j--) { t = v[j]; v[j] = v[j-1]; v[j-1] = t }
    return n % 2 ? v[(n+1)/2] : (v[n/2] + v[n/2+1]) / 2
}
{ n++; qw[n] = $1; qc[n] = $2; sw[n] = $4; sc[n] = $5; rw[n] = $1 / $4; rc[n] = ($5 > 0 ? $2 / $5 : 0)
  if ($3 != 0 || $6 != 0) bad++ }
END {
    printf "paired runs: %d, taken in turn; qelquery %s\n", n, fresh == 1 ? "with a full handshake each run" : "resuming its kept TLS session"
    printf "%-10s wall median %7.1f ms   cpu median %6.1f ms\n", "qelquery", median(qw, n) * 1000, median(qc, n) * 1000
    printf "%-10s wall median %7.1f ms   cpu median %6.1f ms\n", "snmpget", median(sw, n) * 1000, median(sc, n) * 1000
    printf "qelquery/snmpget: wall %.2f  cpu %.2f  (median of the per-pair ratios)\n", median(rw, n), median(rc, n)
    if (bad) printf "note: %d runs exited non-zero\n", bad
}' "$WORK/pairs"
