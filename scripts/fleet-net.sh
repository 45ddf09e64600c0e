#!/bin/sh
# The fleet bed: N hosts in network namespaces on this machine, each with
# its own host name and process table (UTS and PID namespaces), host files
# and stand-in daemons, and, unless it is an appliance, its own qeld with
# mib2 and kestrova on port 5270. The topology, host files and ground truth
# (truth.json) come from scripts/fleet/topology.py, the same for the same N
# and FLEET_SEED. Sites of up to 30 hosts are subnets of 198.18.0.0/16 behind
# their routers, which meet on a core bridge (198.19.0.0/24) in a namespace
# of its own; nothing is linked to the machine's own namespace and no
# router has a route beyond the bed, so no packet leaves the machine.
#
# usage: fleet-net.sh up N [BUILD] | down [--quiet] | status | kill HOST |
#                     drop HOST TYPE SERVER | partition SITE | heal | check
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
FLEET_RUN=${FLEET_RUN:-$ROOT/run/fleet}
PREFIX=${FLEET_PREFIX:-kqfleet}
CA=${FLEET_CA:-$ROOT/run/kestrova.pem}
DIVISOR=${KESTROVA_TIME_DIVISOR:-15}
SEED=${FLEET_SEED:-1}
# Age-outs in wall seconds: 600 and 1800 agent-seconds, at least 10 and 30.
DEP_AGE=$((600 / DIVISOR))
[ "$DEP_AGE" -ge 10 ] || DEP_AGE=10
PEER_AGE=$((1800 / DIVISOR))
[ "$PEER_AGE" -ge 30 ] || PEER_AGE=30
TOPOLOGY=$ROOT/scripts/fleet/topology.py
CORE=$PREFIX-core

say() { echo "fleet-net: $*"; }
die() {
    echo "fleet-net: $*" >&2
    exit 1
}

usage() {
    cat <<EOF
usage: fleet-net.sh up N [BUILD] | down [--quiet] | status | kill HOST |
                    drop HOST TYPE SERVER | partition SITE | heal | check
  up N       tear down an earlier bed, generate the topology of N hosts
             (FLEET_SEED), make the network, start each host's stand-ins and
             (but on appliances) its qeld with mib2 and kestrova from BUILD
             (default build/); writes FLEET_RUN/truth.json
  down       stop every agent and stand-in by pid, delete the namespaces
  status     the hosts, their namespaces, addresses and agents
  kill HOST  SIGKILL HOST's agent
  drop HOST TYPE SERVER
             edit HOST's host files so that its dependency of TYPE (number)
             on SERVER disappears (truth.json follows)
  partition SITE
             cut site SITE's router off the core; heal joins every site again
  check      exit 0 when network namespaces can be made here, else say why
environment: FLEET_RUN (default run/fleet), FLEET_PREFIX (namespace prefix,
  default kqfleet), FLEET_CA (default run/kestrova.pem, made when missing),
  FLEET_SEED (default 1), KESTROVA_TIME_DIVISOR (agents' rhythms, default 15)
EOF
}

ns() { echo "$PREFIX-$1"; }

our_namespaces() {
    ip netns list 2>/dev/null | awk -v p="$PREFIX-" 'index($1, p) == 1 { print $1 }'
}

ours() {
    case "$(ip netns identify "$1" 2>/dev/null)" in
    "$PREFIX"-*) return 0 ;;
    *) return 1 ;;
    esac
}

running() {
    st=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$st" ] && [ "$st" != Z ]
}

# The plan's lines: host site address agent silent.
plan() { cat "$FLEET_RUN/plan"; }

agent_pid() {
    for p in $(ip netns pids "$(ns "$1")" 2>/dev/null); do
        if [ "$(cat "/proc/$p/comm" 2>/dev/null)" = qeld ]; then
            echo "$p"
            return 0
        fi
    done
    return 1
}

check() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "not root, so no network namespaces can be made"
        return 1
    fi
    for c in ip unshare bash python3; do
        if ! command -v $c >/dev/null 2>&1; then
            echo "$c is missing (iproute2, util-linux, bash, python3)"
            return 1
        fi
    done
    probe="$PREFIX-check$$"
    if ! err=$(ip netns add "$probe" 2>&1); then
        echo "ip netns add was refused ($err)"
        return 1
    fi
    ip netns del "$probe" 2>/dev/null || true
    return 0
}

wait_pids() {
    limit=$1
    shift
    i=0
    while :; do
        alive=""
        for p in "$@"; do running "$p" && alive="$alive $p"; done
        [ -z "$alive" ] && return 0
        [ $i -lt "$limit" ] || break
        sleep 0.1
        i=$((i + 1))
    done
    say "killing what did not stop:$alive"
    # shellcheck disable=SC2086
    kill -KILL $alive 2>/dev/null || true
}

down() {
    quiet=${1:-}
    found=0
    agents=""
    inits=""
    for n in $(our_namespaces); do
        for p in $(ip netns pids "$n" 2>/dev/null); do
            [ "$(cat "/proc/$p/comm" 2>/dev/null)" = qeld ] && agents="$agents $p"
        done
    done
    for pf in "$FLEET_RUN"/*/host.pid; do
        [ -f "$pf" ] || continue
        p=$(cat "$pf")
        if [ -n "$p" ] && ours "$p"; then inits="$inits $p"; fi
        rm -f "$pf"
    done
    if [ -n "$agents" ]; then
        found=1
        say "stopping $(echo $agents | wc -w) agents"
        # shellcheck disable=SC2086
        kill -TERM $agents 2>/dev/null || true
        # shellcheck disable=SC2086
        wait_pids 150 $agents
    fi
    if [ -n "$inits" ]; then
        found=1
        firsts=""
        for u in $inits; do
            firsts="$firsts $(ps -o pid= --ppid "$u" 2>/dev/null | tr -d ' ')"
        done
        say "stopping the hosts' stand-in daemons"
        # shellcheck disable=SC2086
        kill -TERM $firsts 2>/dev/null || true
        # shellcheck disable=SC2086
        wait_pids 50 $inits
    fi
    for n in $(our_namespaces); do
        found=1
        left=$(ip netns pids "$n" 2>/dev/null | tr '\n' ' ')
        if [ -n "$left" ]; then
            # shellcheck disable=SC2086
            kill -TERM $left 2>/dev/null || true
            # shellcheck disable=SC2086
            wait_pids 30 $left
        fi
        ip netns del "$n" || say "could not delete namespace $n"
    done
    if [ -d /etc/netns ]; then
        for d in /etc/netns/"$PREFIX"-*; do
            [ -d "$d" ] && rm -rf "$d"
        done
        rmdir /etc/netns 2>/dev/null || true
    fi
    if [ $found -eq 1 ]; then
        say "fleet removed"
    elif [ "$quiet" != --quiet ]; then
        say "no fleet to remove"
    fi
}

# Host $1's home and the C library's view of its files.
make_home() {
    h=$1
    d=$FLEET_RUN/$h
    mkdir -p "$d/home"
    ln -s /proc "$d/root/proc"
    ln -s /sys "$d/root/sys"
    for f in connectiondata.xml appdata.xml kestrova-local.xml; do
        cp "$ROOT/examples/kestrova/$f" "$d/home/"
    done
    # The demo's rhythms; the age-outs, which the agent counts in wall
    # seconds, divided here as the divisor divides the rest.
    cat >"$d/home/kestrova.xml" <<EOF
<?xml version="1.0"?>
<kestrovaConfig version="1">
<dependencyAgeOutInterval>$DEP_AGE</dependencyAgeOutInterval>
<peerAgeOutInterval>$PEER_AGE</peerAgeOutInterval>
<dependencyScanInterval>60</dependencyScanInterval>
<peerScanInterval>300</peerScanInterval>
</kestrovaConfig>
EOF
    cp "$CA" "$d/home/kestrova.pem"
    chmod 600 "$d/home/kestrova.pem"
    # The key and certificate of an earlier run of the same host and CA.
    if [ -f "$FLEET_RUN/.keys/$h/qeld.pem" ]; then
        cp "$FLEET_RUN/.keys/$h/qeld.pem" "$FLEET_RUN/.keys/$h/qeld.csr" "$d/home/" 2>/dev/null || true
    fi
    e=/etc/netns/$(ns "$h")
    mkdir -p "$e"
    cp "$FLEET_RUN/hosts" "$e/hosts"
    cp "$d/root/etc/nsswitch.conf" "$e/nsswitch.conf"
}

# Raises what limits the fleet and this script can raise.
raise_limits() {
    n=$1
    # An agent holds 11-14 descriptors at rest, more while it talks to many
    # peers at once; the script's children inherit this limit.
    hard=$(ulimit -Hn)
    ulimit -n "$hard" 2>/dev/null || true
    # Tasks: an agent runs about 13 threads, a host's stand-ins and first
    # processes a few more; raised only when short of that.
    need=$((n * 32 + 4096))
    cur=$(cat /proc/sys/kernel/pid_max)
    [ "$cur" -ge "$need" ] || echo "$need" >/proc/sys/kernel/pid_max 2>/dev/null || true
    cur=$(cat /proc/sys/kernel/threads-max)
    [ "$cur" -ge "$need" ] || echo "$need" >/proc/sys/kernel/threads-max 2>/dev/null || true
}

# Inside namespace $1: neighbour tables sized for a full site (per
# namespace where the kernel allows it).
neigh_sizes() {
    ip netns exec "$1" sh -c 'for f in 1:256 2:1024 3:4096; do
        echo ${f#*:} > /proc/sys/net/ipv4/neigh/default/gc_thresh${f%%:*}; done' 2>/dev/null || true
}

make_network() {
    sites=$(awk '{ print $2 }' "$FLEET_RUN/plan" | sort -un | wc -l)
    plan | while read -r h s a agent silent; do
        ip netns add "$(ns "$h")"
        ip -n "$(ns "$h")" link set lo up
    done
    if [ "$sites" -gt 1 ]; then
        ip netns add "$CORE"
        ip -n "$CORE" link set lo up
        ip netns exec "$CORE" sh -c 'echo 1 > /proc/sys/net/ipv4/ip_forward'
        ip -n "$CORE" link add br0 type bridge forward_delay 0
        ip -n "$CORE" addr add 198.19.0.1/24 dev br0
        ip -n "$CORE" link set br0 up
    fi
    plan | while read -r h s a agent silent; do
        n=$(ns "$h")
        r=$(ns "s$s-r")
        if [ "$h" = "s$s-r" ]; then
            ip netns exec "$n" sh -c 'echo 1 > /proc/sys/net/ipv4/ip_forward'
            neigh_sizes "$n"
            ip -n "$n" link add br0 type bridge forward_delay 0
            ip -n "$n" addr add "$a/24" dev br0
            ip -n "$n" link set br0 up
            if [ "$sites" -gt 1 ]; then
                up=198.19.0.$((s + 2))
                ip link add name up0 netns "$n" type veth peer name "s$s" netns "$CORE"
                ip -n "$CORE" link set "s$s" master br0 up
                ip -n "$n" addr add "$up/24" dev up0
                ip -n "$n" link set up0 up
                ip -n "$n" route add default via 198.19.0.1 dev up0
                ip -n "$CORE" route add "198.18.$s.0/24" via "$up" dev br0
            fi
            continue
        fi
        port=v${a##*.}
        # Made in place: neither end ever exists in the machine's namespace.
        ip link add name eth0 netns "$n" type veth peer name "$port" netns "$r"
        ip -n "$r" link set "$port" master br0 up
        ip -n "$n" addr add "$a/24" dev eth0
        ip -n "$n" link set eth0 up
        ip -n "$n" route add default via "198.18.$s.1" dev eth0
        if [ "$silent" = 1 ]; then
            ip netns exec "$n" sh -c 'echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all'
        fi
    done
    # The last router (the core, or the one site's router) knows no way
    # beyond the bed.
    last=$(ns s0-r)
    [ "$sites" -gt 1 ] && last=$CORE
    if ip -n "$last" route get 203.0.113.1 >/dev/null 2>&1; then
        die "$last has a route beyond the bed; not going on"
    fi
}

start_host() {
    h=$1
    shift
    d=$FLEET_RUN/$h
    (cd "$d" && exec ip netns exec "$(ns "$h")" unshare --uts --pid --fork --mount-proc --kill-child \
        sh "$ROOT/scripts/fleet/host-init.sh" "$h" "$d/standins" "$PY" "$ROOT/scripts/demo/standin.py" \
        "$FLEET_RUN/bin" "$d/standins.log" "$d/home/qeld.log" "$@") \
        </dev/null >"$d/host.log" 2>&1 &
    echo $! >"$d/host.pid"
}

up() {
    [ $# -ge 1 ] || {
        usage >&2
        exit 2
    }
    count=$1
    case $count in '' | *[!0-9]*) die "N must be a number of hosts" ;; esac
    build=${2:-build}
    case $build in /*) ;; *) build=$ROOT/$build ;; esac
    bin=$build/bin
    plugdir=$build/plugins
    [ -x "$bin/qeld" ] || die "no qeld in $bin: build first"
    for p in mib2-linux.so kestrova-linux.so; do
        [ -f "$plugdir/$p" ] || die "plug-in $plugdir/$p is missing: build first"
    done
    if ! why=$(check); then
        die "cannot make the fleet: $why"
    fi
    down --quiet
    if [ ! -f "$CA" ]; then
        say "making the certificate authority $CA"
        "$bin/qelca" init "$(dirname "$CA")" >/dev/null
    fi
    if [ -x /usr/bin/python3 ]; then PY=/usr/bin/python3; else PY=$(command -v python3); fi
    raise_limits "$count"

    # A fresh tree, but the agents' keys of the same CA are kept.
    keys=""
    if [ -d "$FLEET_RUN/.keys" ] && cmp -s "$CA" "$FLEET_RUN/.keys/ca.pem"; then
        keys=$(mktemp -d)
        mv "$FLEET_RUN/.keys" "$keys/"
    fi
    rm -rf "$FLEET_RUN"
    mkdir -p "$FLEET_RUN"
    if [ -n "$keys" ]; then
        mv "$keys/.keys" "$FLEET_RUN/"
        rmdir "$keys"
    fi
    "$PY" "$TOPOLOGY" generate "$count" "$SEED" "$FLEET_RUN" | sed 's/^/fleet-net: /'
    mkdir -p "$FLEET_RUN/bin"
    for name in cupsd ypbind chronyd master; do ln -s "$(command -v sleep)" "$FLEET_RUN/bin/$name"; done
    plan | while read -r h s a agent silent; do make_home "$h"; done
    say "making $(wc -l <"$FLEET_RUN/plan") host namespaces ($PREFIX-HOST)"
    make_network

    say "starting each host's stand-ins and agent (mib2, kestrova; rhythms divided by $DIVISOR)"
    plan | while read -r h s a agent silent; do
        if [ "$agent" = 1 ]; then
            start_host "$h" env KESTROVA_HOST_ROOT="$FLEET_RUN/$h/root" \
                KESTROVA_TIME_DIVISOR="$DIVISOR" MIB2_REFRESH_SECONDS=5 \
                "$bin/qeld" -f -H "$FLEET_RUN/$h/home" -P "$plugdir" mib2-linux.so kestrova-linux.so
        else
            start_host "$h"
        fi
    done
    start=$(date +%s)
    bound=$((60 + count))
    plan | while read -r h s a agent silent; do
        [ "$agent" = 1 ] || continue
        home=$FLEET_RUN/$h/home
        until grep -q "qeld ready" "$home/qeld.log" 2>/dev/null; do
            if [ $(($(date +%s) - start)) -gt $bound ]; then
                echo "fleet-net: the agent of $h did not come up within $bound s; $home/qeld.log:" >&2
                tail -n 20 "$home/qeld.log" "$FLEET_RUN/$h/host.log" >&2 2>/dev/null || true
                exit 1
            fi
            sleep 0.2
        done
    done
    # Keys for the next run of the same CA.
    mkdir -p "$FLEET_RUN/.keys"
    cp "$CA" "$FLEET_RUN/.keys/ca.pem"
    plan | while read -r h s a agent silent; do
        [ -f "$FLEET_RUN/$h/home/qeld.pem" ] || continue
        mkdir -p "$FLEET_RUN/.keys/$h"
        cp "$FLEET_RUN/$h/home/qeld.pem" "$FLEET_RUN/$h/home/qeld.csr" "$FLEET_RUN/.keys/$h/" 2>/dev/null || true
    done
    date +%s >"$FLEET_RUN/started"
    say "fleet up: $(grep -c ' 1 [01]$' "$FLEET_RUN/plan") agents ready after $(($(date +%s) - start)) s; truth in $FLEET_RUN/truth.json"
}

status() {
    list=" $(our_namespaces | tr '\n' ' ') "
    if [ "$list" = "  " ] || [ ! -f "$FLEET_RUN/plan" ]; then
        say "no fleet"
        return 0
    fi
    plan | while read -r h s a agent silent; do
        case $list in *" $(ns "$h") "*) ;; *) continue ;; esac
        what="no agent"
        if p=$(agent_pid "$h"); then
            what="qeld pid $p"
        elif [ "$agent" = 1 ]; then
            what="agent down"
        fi
        printf '  %-8s site %-2s %-15s %s\n' "$h" "$s" "$a" "$what"
    done
    case $list in *" $CORE "*)
        down=$(ip -n "$CORE" -o link show 2>/dev/null | awk -F': ' '/state DOWN/ { sub("@.*", "", $2); printf " %s", $2 }')
        [ -z "$down" ] || say "partitioned sites (core ports down):$down"
        ;;
    esac
}

known_host() {
    awk -v h="$1" '$1 == h { f = 1 } END { exit !f }' "$FLEET_RUN/plan" 2>/dev/null ||
        die "no host $1 in the fleet"
}

case ${1:-} in
check) check ;;
up)
    shift
    up "$@"
    ;;
down) down "${2:-}" ;;
status) status ;;
kill)
    [ $# -eq 2 ] || {
        usage >&2
        exit 2
    }
    known_host "$2"
    p=$(agent_pid "$2") || die "$2 runs no agent"
    kill -KILL "$p"
    say "killed $2's agent (pid $p) at $(date +%s)"
    ;;
drop)
    [ $# -eq 4 ] || {
        usage >&2
        exit 2
    }
    known_host "$2"
    python3 "$TOPOLOGY" drop "$FLEET_RUN" "$2" "$3" "$4" || exit 1
    say "dropped $2's dependency of type $3 on $4 at $(date +%s)"
    ;;
partition)
    [ $# -eq 2 ] || {
        usage >&2
        exit 2
    }
    ip netns list | grep -q "^$CORE\b" || die "one site only: no core link to cut"
    ip -n "$CORE" link show "s$2" >/dev/null 2>&1 || die "no site $2"
    ip -n "$CORE" link set "s$2" down
    say "site $2 cut off the core"
    ;;
heal)
    if ip netns list | grep -q "^$CORE\b"; then
        for l in $(ip -n "$CORE" -o link show | awk -F': ' '$2 ~ /^s[0-9]+@/ { sub("@.*", "", $2); print $2 }'); do
            ip -n "$CORE" link set "$l" up
        done
    fi
    say "every site joined"
    ;;
-h | --help | help) usage ;;
*)
    usage >&2
    exit 2
    ;;
esac
