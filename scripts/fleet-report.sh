#!/bin/sh
# The fleet bed's report: asks every agent of the running fleet
# (scripts/fleet-net.sh) for its dependency and peer tables, graph counts
# and graph, and prints them against the ground truth, FLEET_RUN/truth.json.
# Exit status 0 only when every agent's map is complete (and every --absent
# and --gone holds); the options are scripts/fleet/report.py's.
#
# usage: fleet-report.sh [--json FILE] [--quiet] [--no-graphs]
#                        [--absent CLIENT TYPE SERVER] [--gone HOST] [--skip HOST] [BUILD]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
FLEET_RUN=${FLEET_RUN:-$ROOT/run/fleet}
PREFIX=${FLEET_PREFIX:-kqfleet}

opts=""
build=$ROOT/build
while [ $# -gt 0 ]; do
    case $1 in
    --absent)
        [ $# -ge 4 ] || { echo "usage: fleet-report.sh [options] [BUILD] (see the script)" >&2; exit 2; }
        opts="$opts $1 $2 $3 $4"
        shift 4
        ;;
    --json | --gone | --skip)
        [ $# -ge 2 ] || { echo "usage: fleet-report.sh [options] [BUILD] (see the script)" >&2; exit 2; }
        opts="$opts $1 $2"
        shift 2
        ;;
    --quiet | --no-graphs)
        opts="$opts $1"
        shift
        ;;
    -h | --help)
        sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    -*)
        echo "usage: fleet-report.sh [options] [BUILD] (see the script)" >&2
        exit 2
        ;;
    /*)
        build=$1
        shift
        ;;
    *)
        build=$ROOT/$1
        shift
        ;;
    esac
done
[ -f "$FLEET_RUN/truth.json" ] || { echo "fleet-report: no fleet in $FLEET_RUN (scripts/fleet-net.sh up N)" >&2; exit 1; }
[ -x "$build/bin/qelquery" ] || { echo "fleet-report: no qelquery in $build/bin" >&2; exit 1; }
# shellcheck disable=SC2086
exec python3 "$ROOT/scripts/fleet/report.py" $opts "$FLEET_RUN" "$build" "$PREFIX"
