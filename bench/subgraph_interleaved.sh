#!/bin/sh
# End-to-end cost of a subgraph fetch per dependency, with the sizes
# interleaved: one agent per size (each seeded through KESTROVA_IMPORT_GRAPH
# with N dependencies, in a PID namespace of its own so that its process
# worker scans nothing else), all in one network namespace; then K rounds
# that fetch once from each agent in turn, so that load on the machine hits
# every size alike. Agent CPU and faults come from `perf stat -p` around all
# the fetches, client CPU and faults from `perf stat` around each. Prints
# both per fetch and, for each size, (agent + client CPU less the empty
# graph's) / N. Needs root (ip netns) and perf. Everything it makes is
# removed at the end.
# usage: bench/subgraph_interleaved.sh BUILD_DIR [K] [N ...]   (default: 20 rounds; 0 1000 10000 50000)
set -eu
case "${1:-}" in -h|--help|"") sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; [ -n "${1:-}" ]; exit $?;; esac
BUILD=$(cd "$1" && pwd); shift
K=${1:-20}; [ $# -gt 0 ] && shift
[ $# -gt 0 ] || set -- 0 1000 10000 50000
command -v perf >/dev/null || { echo "perf is needed" >&2; exit 1; }
NS=kq-r11p-$$
WORK=$(mktemp -d /tmp/r11pair.XXXXXX)
PIDS=""
cleanup() { for p in $PIDS; do kill $p 2>/dev/null || true; done; sleep 0.5; ip netns del $NS 2>/dev/null; rm -rf $WORK; }
trap cleanup EXIT INT TERM
ip netns add $NS; ip -n $NS link set lo up
mkdir $WORK/ca $WORK/cli
$BUILD/bin/qelca init $WORK/ca >/dev/null
cp $WORK/ca/kestrova.pem $WORK/cli/
for N in "$@"; do
  mkdir $WORK/home$N; cp $WORK/ca/kestrova.pem $WORK/home$N/
  awk -v n="$N" 'BEGIN { print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"; print "<graphml>"; print "<graph id=\"server.example.com graph\" edgedefault=\"directed\">"
   for (i = 0; i < n; i++) printf "<edge id=\"e\" type=\"11\" src=\"3\" pov=\"1\" ptr=\"1\" args=\"443\" client=\"client%d.example.com\" server=\"server.example.com\" />\n", i
   print "</graph>"; print "</graphml>" }' > $WORK/seed$N.xml
  ip netns exec $NS unshare --pid --fork --mount-proc env KESTROVA_IMPORT_GRAPH=$WORK/seed$N.xml $BUILD/bin/qeld -f -p 0 -l 127.0.0.1 -H $WORK/home$N $BUILD/plugins/mib2-linux.so $BUILD/plugins/kestrova-linux.so > $WORK/qeld$N.out 2>&1 &
  W=$!
  until [ -s $WORK/home$N/qeld.port ] && grep -q "qeld ready" $WORK/home$N/qeld.log 2>/dev/null; do sleep 0.1; done
  inner=$(pgrep -P $W | head -1); A=$(pgrep -x -P $inner qeld || echo $inner); PIDS="$PIDS $A"
  echo "$N $A $(cat $WORK/home$N/qeld.port)" >> $WORK/agents
done
cd $WORK/cli
while read N A P; do ip netns exec $NS $BUILD/bin/qelgetsubgraph 127.0.0.1,$P bench $WORK/g.xml >/dev/null 2>&1; done < $WORK/agents
while read N A P; do perf stat -x, -e task-clock,page-faults -p $A -o $WORK/ap$N & echo $! >> $WORK/perfpids; done < $WORK/agents
sleep 0.3
for i in $(seq $K); do
  while read N A P; do
    perf stat -x, -e task-clock,page-faults -o $WORK/p -- ip netns exec $NS $BUILD/bin/qelgetsubgraph 127.0.0.1,$P bench $WORK/g$N.xml >/dev/null 2>&1
    awk -F, -v n=$N '$3=="task-clock"{c=$1} $3=="page-faults"{f=$1} END {print n, c, f}' $WORK/p >> $WORK/res
  done < $WORK/agents
done
for p in $(cat $WORK/perfpids); do kill -INT $p; done; sleep 0.5
while read N A P; do awk -F, -v n=$N -v k=$K '$3=="task-clock"{c=$1} $3=="page-faults"{f=$1} END {printf "N=%s agent cpu %.2f ms faults %.0f per fetch\n", n, c/k, f/k}' $WORK/ap$N; done < $WORK/agents
awk '{c[$1]+=$2; f[$1]+=$3; k[$1]++} END {for (n in c) printf "N=%s client cpu %.2f ms faults %.0f\n", n, c[n]/k[n], f[n]/k[n]}' $WORK/res | sort -t= -k2 -n
awk '{c[$1]+=$2; f[$1]+=$3; k[$1]++} END {for (n in c) printf "%s %.4f\n", n, c[n]/k[n]}' $WORK/res | sort > $WORK/client
while read N A P; do awk -F, -v n=$N -v k=$K '$3=="task-clock"{printf "%s %.4f\n", n, $1/k}' $WORK/ap$N; done < $WORK/agents | sort > $WORK/agent
join $WORK/agent $WORK/client | awk 'NR==1 {base=$2+$3} $1>0 {printf "N=%s cost per dependency %.2f us\n", $1, ($2+$3-base)*1000/$1}'
echo "load $(cut -d' ' -f1 /proc/loadavg)"
