#!/bin/sh
# The main job (make run) and its end (make stop).
#
#   run-main.sh [BUILD]   with the build done: a CA in run/, then
#     - as root where network namespaces can be made: the demo network
#       (scripts/demo-net.sh), one agent per demo host with mib2, kestrova
#       and demoplugin; every example query is asked of the demo host wren
#       and its dependency graph fetched;
#     - otherwise: one agent on 127.0.0.1 with mib2 and demoplugin only
#       (kestrova probes and contacts every host it finds: never on the
#       machine's own network unless asked for);
#     - KESTROVA_RUN=host: one agent on 127.0.0.1 with every plug-in,
#       kestrova included, on the machine's real network.
#     Everything is left running.
#   run-main.sh stop      stops whatever an earlier run left running.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUN="$ROOT/run"
USER_NAME=kestrovaOperator

say() { echo "run-main: $*"; }
die() { echo "run-main: $*" >&2; exit 1; }

# The loopback agent of an earlier run, stopped by its pid.
stop_loopback() {
    [ -f "$RUN/qeld.pid" ] || return 0
    old=$(cat "$RUN/qeld.pid")
    # Only a qeld is ever signalled: the pid file may be stale.
    if [ -n "$old" ] && [ "$(cat "/proc/$old/comm" 2>/dev/null)" = qeld ]; then
        say "stopping the loopback agent (pid $old)"
        kill "$old"
        i=0
        # An exited agent not yet reaped by pid 1 shows state Z.
        while st=$(awk '{ print $3 }' "/proc/$old/stat" 2>/dev/null) && [ -n "$st" ] &&
            [ "$st" != Z ]; do
            [ $i -lt 100 ] || { kill -KILL "$old" 2>/dev/null; break; }
            sleep 0.1
            i=$((i + 1))
        done
    fi
    rm -f "$RUN/qeld.pid"
}

# $1: --quiet, nothing said when nothing runs.
stop_all() {
    stop_loopback
    if [ "$(id -u)" -eq 0 ] && command -v ip >/dev/null 2>&1; then
        sh "$ROOT/scripts/demo-net.sh" down "${1:-}"
    fi
}

if [ "${1:-}" = stop ]; then
    stop_all
    exit 0
fi

BUILD=${1:-build}
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac
BIN="$BUILD/bin"
PLUGINS="$BUILD/plugins"
for p in qeld qelquery qelca; do
    [ -x "$BIN/$p" ] || die "$p is missing in $BIN: build first (make build)"
done

mode=${KESTROVA_RUN:-demo}
case $mode in
demo | host | loopback) ;;
*) die "KESTROVA_RUN=$mode: use host (the real agent on this machine) or leave it unset" ;;
esac

mkdir -p "$RUN"
# The plug-in's data files for a new home; edits made in run/ are kept.
for f in kestrova-local.xml connectiondata.xml appdata.xml; do
    [ -f "$RUN/$f" ] || cp "$ROOT/examples/kestrova/$f" "$RUN/$f"
done
if [ ! -f "$RUN/kestrova.pem" ]; then
    say "making the certificate authority $RUN/kestrova.pem"
    "$BIN/qelca" init "$RUN"
fi

stop_all --quiet

if [ "$mode" = demo ] && ! why=$(sh "$ROOT/scripts/demo-net.sh" check); then
    say "no demo network: $why; running the loopback agent with mib2 and demoplugin only"
    mode=loopback
fi

# Asks every example query of the agent at $2 from inside namespace $1
# ("" for none), from the run directory (CA and client certificate).
ask_all() {
    for q in "$ROOT"/examples/queries/*.xml; do
        echo
        echo "=== $(basename "$q")"
        if [ -n "$1" ]; then
            (cd "$RUN" && ip netns exec "$1" "$BIN/qelquery" "$2" "$USER_NAME" "$q") ||
                say "qelquery failed for $q"
        else
            (cd "$RUN" && "$BIN/qelquery" "$2" "$USER_NAME" "$q") || say "qelquery failed for $q"
        fi
    done
}

if [ "$mode" != demo ]; then
    plugins="mib2-linux.so demoplugin-linux.so"
    if [ "$mode" = host ]; then
        if [ -f "$PLUGINS/kestrova-linux.so" ]; then
            plugins="mib2-linux.so kestrova-linux.so demoplugin-linux.so"
            say "WARNING: KESTROVA_RUN=host: kestrova will probe, resolve and contact the hosts this machine uses, on its real network"
        else
            say "KESTROVA_RUN=host: kestrova-linux.so is not built yet; running mib2 and demoplugin"
        fi
    fi
    PORT=$(python3 - <<'PY'
import socket
s = socket.socket()
try:
    s.bind(("127.0.0.1", 5270))
except OSError:
    s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
PY
)
    [ -f "$RUN/qeld.log" ] && mv "$RUN/qeld.log" "$RUN/qeld.log.old"
    rm -f "$RUN/qeld.port"
    say "starting qeld on 127.0.0.1,$PORT with $plugins"
    # shellcheck disable=SC2086
    "$BIN/qeld" -p "$PORT" -l 127.0.0.1 -H "$RUN" -P "$PLUGINS" $plugins
    i=0
    until grep -q "qeld ready" "$RUN/qeld.log" 2>/dev/null; do
        i=$((i + 1))
        if [ $i -gt 300 ]; then
            echo "run-main: qeld did not come up; its log:" >&2
            cat "$RUN/qeld.log" >&2 || true
            exit 1
        fi
        sleep 0.1
    done
    grep "plug-in" "$RUN/qeld.log" || true
    ask_all "" "127.0.0.1,$PORT"
    PID=$(cat "$RUN/qeld.pid")
    echo
    echo "qeld is running (pid $PID) on 127.0.0.1,$PORT with home directory $RUN."
    echo "Query it:  cd $RUN && $BIN/qelquery 127.0.0.1,$PORT yourName $ROOT/examples/queries/core-agent.xml"
    echo "Stop it:   make stop"
    exit 0
fi

# The demo network. wren is the host the demo looks at.
DEMO="$RUN/demo"
say "building the demo network (no link to this machine's own network)"
DEMO_RUN=$DEMO DEMO_CA="$RUN/kestrova.pem" sh "$ROOT/scripts/demo-net.sh" up "$BUILD"
WREN=192.0.2.10,5270
kestrova=0
[ -f "$PLUGINS/kestrova-linux.so" ] && kestrova=1

echo
say "plug-ins loaded by wren's agent:"
grep "plug-in" "$DEMO/wren/home/qeld.log" || true

# The tables fill as the agents' workers run: discovery and probes within
# seconds, the first peer pass (asking the other agents) a little later.
# Asked at once, most kestrova tables would still be empty.
if [ $kestrova -eq 1 ]; then
    wait_s=${DEMO_WAIT:-60}
    say "waiting up to $wait_s s for wren's first discovery, probe and peer passes"
    start=$(date +%s)
    while :; do
        peers=$(cd "$RUN" && ip netns exec kqdemo-wren "$BIN/qelquery" "$WREN" "$USER_NAME" \
            "$ROOT/examples/queries/kestrova-peer-table.xml" 2>/dev/null | grep -c "kestrova,peerName," || true)
        waited=$(($(date +%s) - start))
        if [ "$peers" -gt 0 ]; then
            say "  after $waited s wren knows $peers peer agent(s)"
            break
        fi
        if [ "$waited" -ge "$wait_s" ]; then
            say "  after $waited s wren knows no peer yet; asking anyway"
            break
        fi
        sleep 3
    done
fi
say "asking wren ($WREN) every example query"
ask_all kqdemo-wren "$WREN"

GRAPH="$DEMO/wren/wren.graphml"
if [ $kestrova -eq 1 ] && [ -x "$BIN/qelgetsubgraph" ]; then
    echo
    say "fetching wren's dependency graph into $GRAPH (picture: $DEMO/wren/wren.svg)"
    (cd "$RUN" && ip netns exec kqdemo-wren "$BIN/qelgetsubgraph" --svg "$DEMO/wren/wren.svg" "$WREN" "$USER_NAME" "$GRAPH") ||
        say "qelgetsubgraph failed"
elif [ $kestrova -eq 1 ]; then
    say "qelgetsubgraph is not built yet: no graph fetched"
fi

echo
echo "The demo network is running (make stop removes it). Each host is a set of"
echo "namespaces (network, host name, processes) with its own agent on port 5270:"
sh "$ROOT/scripts/demo-net.sh" status
echo "Files: $DEMO/HOST/root holds the host files each agent reads (KESTROVA_HOST_ROOT),"
echo "       $DEMO/HOST/home its home directory (qeld.log, kestrova.xml, certificates);"
echo "       the templates are in $ROOT/examples/demo."
echo "What wren shows: dependencies found in its host files (resolver behind a 127.0.0.53 stub,"
echo "       NTP, NIS, mail relay, CUPS printers, SIP and IAX registrations, NFS) and in its TCP"
echo "       connections; heron and kite answer probes, the printer lark does not (dependReachable"
echo "       false); kite, heron and gate are peer agents; a log-file rule and monitor read"
echo "       root/var/log/auth.log, which wren's rsyslogd stand-in keeps writing."
echo "Query further (from $RUN, which holds the CA and the client's certificate):"
echo "  cd $RUN && ip netns exec kqdemo-wren $BIN/qelquery $WREN yourName $ROOT/examples/queries/core-scalars.xml"
echo "  cd $RUN && ip netns exec kqdemo-heron $BIN/qelquery 198.51.100.25,5270 yourName $ROOT/examples/queries/plugin-table.xml"
echo "  cd $RUN && ip netns exec kqdemo-wren $BIN/qelquery -6 kite.demo.example,5270 yourName $ROOT/examples/queries/core-agent.xml"
if [ -x "$BIN/qelgetsubgraph" ]; then
    echo "  cd $RUN && ip netns exec kqdemo-wren $BIN/qelgetsubgraph $WREN yourName wren.graphml"
fi
echo "  sh $ROOT/scripts/demo-net.sh status"
if [ -x "$BIN/qelmap" ]; then
    echo "Map the demo network with qelmap (the store is $RUN/qelmap.db):"
    echo "  cd $RUN && ip netns exec kqdemo-wren $BIN/qelmap crawl 192.0.2.10"
    echo "  cd $RUN && $BIN/qelmap query hosts"
    echo "  cd $RUN && $BIN/qelmap query blast-radius heron"
    echo "  cd $RUN && $BIN/qelmap serve    (then http://127.0.0.1:5271/api/hosts and /metrics)"
fi
echo "Stop it:   make stop"
