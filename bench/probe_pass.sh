#!/bin/sh
# The dependency worker's probe pass over 10, 100, 1,000 and 2,000 silent
# dependencies (bench_probe_pass), inside two network namespaces this
# script makes and removes, joined by one veth link: the prober's routes
# 198.18.0.0/15 through a neighbour whose hardware address nobody owns, so
# the other side drops every probe, each waits its whole time-out and
# nothing leaves the two namespaces. Needs root (ip netns). Builds nothing: run after building
# bench_probe_pass. Extra arguments go to the benchmark.
# usage: bench/probe_pass.sh [BUILD_DIR] [benchmark options]
set -eu
case "${1:-}" in
-h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
BUILD=${1:-$(dirname "$0")/../build}
BUILD=$(cd "$BUILD" && pwd)
[ $# -gt 0 ] && shift
DRIVER=$BUILD/bench/bench_probe_pass
[ -x "$DRIVER" ] || { echo "probe_pass: no $DRIVER (build the bench_probe_pass target)" >&2; exit 1; }
if [ "$(id -u)" != 0 ]; then echo "probe_pass: needs root for a network namespace" >&2; exit 1; fi

NS=kq-probepass-$$
SINK=kq-probesink-$$
cleanup() { ip netns del "$NS" 2>/dev/null || true; ip netns del "$SINK" 2>/dev/null || true; }
trap cleanup EXIT INT TERM
ip netns add "$NS"
ip netns add "$SINK"
ip -n "$NS" link set lo up
ip link add kqpp$$ netns "$NS" type veth peer name kqps$$ netns "$SINK"
ip -n "$NS" addr add 192.0.2.1/24 dev kqpp$$
ip -n "$NS" link set kqpp$$ up
ip -n "$SINK" link set kqps$$ up
ip -n "$NS" neigh add 192.0.2.2 lladdr 02:00:00:00:00:02 nud permanent dev kqpp$$
ip -n "$NS" route add 198.18.0.0/15 via 192.0.2.2 dev kqpp$$
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
ip netns exec "$NS" env KESTROVA_PROBE_BENCH_NETNS=1 "$DRIVER" "$@"
