#!/bin/sh
# End-to-end cost of a subgraph fetch per dependency, with the sizes
# interleaved: one agent per size (each seeded through KESTROVA_IMPORT_GRAPH
# with N dependencies, in a PID namespace of its own so that its process
# worker scans nothing else), all in one network namespace; then K rounds
# that fetch once from each agent in turn, so that load on the machine hits
# every size alike. Each fetch is measured on its own: the agent's CPU from
# a cpuacct cgroup of its own (every thread, ended session threads too),
# read before the client starts and SETTLE seconds (0.3) after it ends, so
# that the agent's release of its idle buffers falls in the fetch it
# follows; the client's CPU and faults from `perf stat` around it. Each
# size's client runs in a directory of its own, so that every fetch resumes
# the TLS session of the last one from that agent, as a client asking one
# agent again does (the kept session names one agent: with one directory
# each fetch, following one from another agent, made a full handshake, a few
# milliseconds of signatures that vary more than a small graph costs). Prints
# first the means (agent CPU and faults from `perf stat -p` over all the
# fetches, cost per dependency from the means), then per size the median
# fetch (agent, client, both) with its quartiles, and the cost per
# dependency from the medians: (median fetch at N less the median fetch of
# the first size) / N, also from the odd and the even rounds alone. Needs
# root (ip netns, cgroup v1 cpuacct) and perf. Everything it makes is
# removed at the end.
# usage: bench/subgraph_interleaved.sh BUILD_DIR [K] [N ...]   (default: 20 rounds; 0 1000 10000 50000)
set -eu
case "${1:-}" in -h|--help|"") sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; [ -n "${1:-}" ]; exit $?;; esac
BUILD=$(cd "$1" && pwd); shift
K=${1:-20}; [ $# -gt 0 ] && shift
[ $# -gt 0 ] || set -- 0 1000 10000 50000
command -v perf >/dev/null || { echo "perf is needed" >&2; exit 1; }
SETTLE=${SETTLE:-0.3}
CG=/sys/fs/cgroup/cpuacct
[ -w $CG ] || { echo "a writable cpuacct cgroup ($CG) is needed" >&2; exit 1; }
NS=kq-r11p-$$
WORK=$(mktemp -d /tmp/r11pair.XXXXXX)
PIDS=""
cleanup() { for p in $PIDS; do kill $p 2>/dev/null || true; done; sleep 0.5; ip netns del $NS 2>/dev/null
  # a cgroup goes once the agent in it has exited (up to 10 s)
  for d in $CG/kq-r11p-$$-*; do
    [ -d "$d" ] || continue; i=0
    while [ -n "$(cat $d/cgroup.procs 2>/dev/null)" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
    rmdir "$d" 2>/dev/null || echo "cgroup $d left behind" >&2
  done; rm -rf $WORK; }
trap cleanup EXIT INT TERM
ip netns add $NS; ip -n $NS link set lo up
mkdir $WORK/ca
$BUILD/bin/qelca init $WORK/ca >/dev/null
for N in "$@"; do
  mkdir $WORK/home$N $WORK/cli$N; cp $WORK/ca/kestrova.pem $WORK/home$N/; cp $WORK/ca/kestrova.pem $WORK/cli$N/
  awk -v n="$N" 'BEGIN { print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"; print "<graphml>"; print "<graph id=\"server.example.com graph\" edgedefault=\"directed\">"
   for (i = 0; i < n; i++) printf "<edge id=\"e\" type=\"11\" src=\"3\" pov=\"1\" ptr=\"1\" args=\"443\" client=\"client%d.example.com\" server=\"server.example.com\" />\n", i
   print "</graph>"; print "</graphml>" }' > $WORK/seed$N.xml
  ip netns exec $NS unshare --pid --fork --mount-proc env KESTROVA_IMPORT_GRAPH=$WORK/seed$N.xml $BUILD/bin/qeld -f -p 0 -l 127.0.0.1 -H $WORK/home$N $BUILD/plugins/mib2-linux.so $BUILD/plugins/kestrova-linux.so > $WORK/qeld$N.out 2>&1 &
  W=$!
  until [ -s $WORK/home$N/qeld.port ] && grep -q "qeld ready" $WORK/home$N/qeld.log 2>/dev/null; do sleep 0.1; done
  inner=$(pgrep -P $W | head -1); A=$(pgrep -x -P $inner qeld || echo $inner); PIDS="$PIDS $A"
  mkdir $CG/kq-r11p-$$-$N; echo $A > $CG/kq-r11p-$$-$N/cgroup.procs
  echo "$N $A $(cat $WORK/home$N/qeld.port)" >> $WORK/agents
done
# Two fetches each: the first makes the client's key and the session the
# second and the measured ones resume.
while read N A P; do for j in 1 2; do (cd $WORK/cli$N && ip netns exec $NS $BUILD/bin/qelgetsubgraph 127.0.0.1,$P bench $WORK/g.xml >/dev/null 2>&1); done; done < $WORK/agents
while read N A P; do perf stat -x, -e task-clock,page-faults -p $A -o $WORK/ap$N & echo $! >> $WORK/perfpids; done < $WORK/agents
sleep 0.3
for i in $(seq $K); do
  while read N A P; do
    u0=$(cat $CG/kq-r11p-$$-$N/cpuacct.usage)
    (cd $WORK/cli$N && perf stat -x, -e task-clock,page-faults -o $WORK/p -- ip netns exec $NS $BUILD/bin/qelgetsubgraph 127.0.0.1,$P bench $WORK/g$N.xml >/dev/null 2>&1)
    sleep $SETTLE
    u1=$(cat $CG/kq-r11p-$$-$N/cpuacct.usage)
    awk -F, -v n=$N '$3=="task-clock"{c=$1} $3=="page-faults"{f=$1} END {print n, c, f}' $WORK/p >> $WORK/res
    awk -F, -v i=$i -v n=$N -v a=$(( (u1 - u0) / 1000 )) '$3=="task-clock"{printf "%s %s %s %.0f\n", i, n, a, $1 * 1000}' $WORK/p >> $WORK/per
  done < $WORK/agents
done
for p in $(cat $WORK/perfpids); do kill -INT $p; done; sleep 0.5
while read N A P; do awk -F, -v n=$N -v k=$K '$3=="task-clock"{c=$1} $3=="page-faults"{f=$1} END {printf "N=%s agent cpu %.2f ms faults %.0f per fetch\n", n, c/k, f/k}' $WORK/ap$N; done < $WORK/agents
awk '{c[$1]+=$2; f[$1]+=$3; k[$1]++} END {for (n in c) printf "N=%s client cpu %.2f ms faults %.0f\n", n, c[n]/k[n], f[n]/k[n]}' $WORK/res | sort -t= -k2 -n
awk '{c[$1]+=$2; f[$1]+=$3; k[$1]++} END {for (n in c) printf "%s %.4f\n", n, c[n]/k[n]}' $WORK/res | sort > $WORK/client
while read N A P; do awk -F, -v n=$N -v k=$K '$3=="task-clock"{printf "%s %.4f\n", n, $1/k}' $WORK/ap$N; done < $WORK/agents | sort > $WORK/agent
join $WORK/agent $WORK/client | awk 'NR==1 {base=$2+$3} $1>0 {printf "N=%s cost per dependency %.2f us\n", $1, ($2+$3-base)*1000/$1}'
# Per fetch ($WORK/per: round, N, agent us, client us): medians and quartiles.
q() { sort -n | awk '{v[NR]=$1} END {i=int((NR+3)/4); j=int((NR+1)/2); k=int((3*NR+1)/4); printf "%.3f [%.3f-%.3f]", v[j]/1000, v[i]/1000, v[k]/1000}'; }
med() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
echo "per fetch, median [quartiles] in ms:"
while read N A P; do
  printf "N=%s agent %s client %s both %s\n" $N "$(awk -v n=$N '$2==n {print $3}' $WORK/per | q)" \
    "$(awk -v n=$N '$2==n {print $4}' $WORK/per | q)" "$(awk -v n=$N '$2==n {print $3 + $4}' $WORK/per | q)"
done < $WORK/agents
# Cost per dependency from the medians: (median fetch at N, agent + client,
# less the median fetch of the first size) / N; then the same from the odd
# and from the even rounds alone, which says how far the figure moves.
B=$(head -1 $WORK/agents | cut -d' ' -f1)
perdep() { # $1: N, $2: awk filter on the round ($1 of per)
  t=$(awk -v n=$1 "\$2==n && ($2) {print \$3 + \$4}" $WORK/per | med)
  b=$(awk -v n=$B "\$2==n && ($2) {print \$3 + \$4}" $WORK/per | med)
  echo "$t $b $1" | awk '{printf "%.2f", ($1 - $2) / $3}'
}
echo "cost per dependency from the medians, in us (odd rounds / even rounds):"
while read N A P; do
  [ "$N" = "$B" ] && continue
  m=$(perdep $N 1)
  echo "N=$N $m ($(perdep $N '$1 % 2 == 1') / $(perdep $N '$1 % 2 == 0'))"
  echo "$m" >> $WORK/medians
done < $WORK/agents
sort -n $WORK/medians | awk 'NR==1 {lo=$1} {hi=$1} END {if (lo>0) printf "largest over smallest: %.2fx\n", hi/lo}'
echo "load $(cut -d' ' -f1 /proc/loadavg)"
