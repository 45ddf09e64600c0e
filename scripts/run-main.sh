#!/bin/sh
# The main job: with the build done, set up a run directory with a CA, start
# qeld on 127.0.0.1 with every plug-in built, ask it every example query and
# leave it running.
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac
RUN="$ROOT/run"
BIN="$BUILD/bin"
mkdir -p "$RUN"

if [ ! -f "$RUN/kestrova.pem" ]; then
    "$BIN/qelca" init "$RUN"
fi

# An agent left from an earlier run is stopped first.
if [ -f "$RUN/qeld.pid" ]; then
    old=$(cat "$RUN/qeld.pid")
    if [ -n "$old" ] && kill -0 "$old" 2>/dev/null; then
        echo "run-main: stopping the earlier agent (pid $old)"
        kill "$old"
        i=0
        while kill -0 "$old" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    fi
    rm -f "$RUN/qeld.pid"
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
echo "run-main: starting qeld on 127.0.0.1,$PORT with the plug-ins in $BUILD/plugins"
"$BIN/qeld" -p "$PORT" -l 127.0.0.1 -H "$RUN" -P "$BUILD/plugins"

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

cd "$RUN"
for q in "$ROOT"/examples/queries/*.xml; do
    echo
    echo "=== $(basename "$q")"
    "$BIN/qelquery" "127.0.0.1,$PORT" kestrovaOperator "$q" || echo "run-main: qelquery failed for $q"
done

PID=$(cat "$RUN/qeld.pid")
echo
echo "qeld is running (pid $PID) on 127.0.0.1,$PORT with home directory $RUN."
echo "Query it:  cd $RUN && $BIN/qelquery 127.0.0.1,$PORT yourName $ROOT/examples/queries/core-agent.xml"
echo "Stop it:   kill \$(cat $RUN/qeld.pid)"
