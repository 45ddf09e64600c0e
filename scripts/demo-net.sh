#!/bin/sh
# The demo network of "make run": five hosts in network namespaces, joined by
# veth links, using documentation addresses only. Nothing is linked to the
# machine's own network namespace, so no packet can leave the machine.
#
#   gate   router: br-lan 192.0.2.1/24 2001:db8:1::1/64,
#                  br-dmz 198.51.100.1/24 2001:db8:2::1/64; no default route
#   wren   lan 192.0.2.10    2001:db8:1::10   the workstation the demo queries
#   heron  lan 192.0.2.53    2001:db8:1::53   name, time, NIS and SIP server
#   kite   dmz 198.51.100.25 2001:db8:2::25   mail relay, print and file server
#   lark   dmz 198.51.100.80 2001:db8:2::80   network printer: ignores ping, no agent
#
# Each host also has its own host name and process table (UTS and PID
# namespaces; scripts/demo/host-init.sh is its first process) and, under
# $DEMO_RUN/HOST/: root/ (its host files, from examples/demo/common/root and
# examples/demo/HOST/root, with /proc and /sys linked in; the agent reads it
# through KESTROVA_HOST_ROOT), home/ (the agent's home directory: CA,
# certificate, kestrova.xml, qeld.log) and the stand-in daemons listed in
# examples/demo/HOST/standins. Each home also gets the plug-in's data files
# (examples/kestrova/, then the host's own). The C library inside each
# namespace sees that host's hosts, resolv.conf and nsswitch.conf too ("ip
# netns exec" mounts /etc/netns/NAMESPACE/* over /etc); behind a local stub
# resolver (127.0.0.53, which no demo host runs) it gets the servers the stub
# would forward to (the host's /run/systemd/resolve/resolv.conf).
#
# usage: demo-net.sh check | up [BUILD] [--no-agents] | down [--quiet] | status
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
DEMO_RUN=${DEMO_RUN:-$ROOT/run/demo}
PREFIX=${DEMO_PREFIX:-kqdemo}
TEMPLATES=$ROOT/examples/demo
CA=${DEMO_CA:-$ROOT/run/kestrova.pem}
DIVISOR=${KESTROVA_TIME_DIVISOR:-15}
HOSTS="gate wren heron kite lark"
# Hosts without an agent (appliances).
NO_AGENT="lark"
# Hosts that ignore ICMP echo requests, both families.
SILENT="lark"

say() { echo "demo-net: $*"; }
die() { echo "demo-net: $*" >&2; exit 1; }

usage() {
    cat <<EOF
usage: demo-net.sh check | up [BUILD] [--no-agents] | down [--quiet] | status
  check    exit 0 when network namespaces can be made here, else say why
  up       tear down an earlier demo network, make the network, start the
           stand-in daemons and (unless --no-agents) one qeld per host with
           the plug-ins of BUILD (default build/)
  down     stop the agents and stand-ins by pid, delete the namespaces and
           their links (nothing to do is not an error; --quiet: then silent)
  status   the namespaces, addresses and agents of the demo network
environment: DEMO_RUN (default run/demo), DEMO_PREFIX (namespace prefix,
  default kqdemo), DEMO_CA (CA file, default run/kestrova.pem),
  KESTROVA_TIME_DIVISOR (agents' rhythms, default 15)
EOF
}

ns() { echo "$PREFIX-$1"; }

# host, LAN, IPv4 address, IPv6 address of each host but the router.
topology() {
    cat <<EOF
wren  lan 192.0.2.10    2001:db8:1::10
heron lan 192.0.2.53    2001:db8:1::53
kite  dmz 198.51.100.25 2001:db8:2::25
lark  dmz 198.51.100.80 2001:db8:2::80
EOF
}

our_namespaces() {
    ip netns list 2>/dev/null | awk -v p="$PREFIX-" 'index($1, p) == 1 { print $1 }'
}

# True when pid $1 lives in one of our namespaces (a stale pid file never
# makes us signal an unrelated process).
ours() {
    case "$(ip netns identify "$1" 2>/dev/null)" in
    "$PREFIX"-*) return 0 ;;
    *) return 1 ;;
    esac
}

# True while pid $1 runs: an exited process that its parent (here often
# pid 1) has not reaped yet counts as gone.
running() {
    st=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$st" ] && [ "$st" != Z ]
}

# True when host $1 runs an agent.
has_agent() {
    case " $NO_AGENT " in *" $1 "*) return 1 ;; *) return 0 ;; esac
}

# The pid (as this machine sees it) of host $1's agent, if one runs.
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
    for c in ip unshare bash; do
        if ! command -v $c >/dev/null 2>&1; then
            echo "$c is missing (iproute2, util-linux, bash)"
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

# Waits up to $1 tenths of a second for the pids to end, then KILLs what is
# left.
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

# With --quiet nothing is said when there is nothing to do.
down() {
    quiet=${1:-}
    found=0
    agents=""
    inits=""
    for h in $HOSTS; do
        if p=$(agent_pid "$h"); then agents="$agents $p"; fi
        pf=$DEMO_RUN/$h/host.pid
        if [ -f "$pf" ]; then
            p=$(cat "$pf")
            if [ -n "$p" ] && ours "$p"; then inits="$inits $p"; fi
            rm -f "$pf"
        fi
    done
    if [ -n "$agents" ]; then
        found=1
        say "stopping the agents (pids$agents)"
        # shellcheck disable=SC2086
        kill -TERM $agents 2>/dev/null || true
        # shellcheck disable=SC2086
        wait_pids 100 $agents
    fi
    if [ -n "$inits" ]; then
        found=1
        # Each host's first process stops its stand-ins and ends, and with
        # it the host's process namespace.
        firsts=""
        for u in $inits; do
            firsts="$firsts $(ps -o pid= --ppid "$u" 2>/dev/null | tr -d ' ')"
        done
        say "stopping the hosts' stand-in daemons (first processes$firsts)"
        # shellcheck disable=SC2086
        kill -TERM $firsts 2>/dev/null || true
        # shellcheck disable=SC2086
        wait_pids 50 $inits
    fi
    for n in $(our_namespaces); do
        found=1
        # Anything still inside was started there by an earlier run whose
        # pid files are gone; a namespace with processes would outlive its
        # deletion.
        left=$(ip netns pids "$n" 2>/dev/null | tr '\n' ' ')
        if [ -n "$left" ]; then
            say "stopping what is left in $n (pids $left)"
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
        say "demo network removed"
    elif [ "$quiet" != --quiet ]; then
        say "no demo network to remove"
    fi
}

# The name servers of resolv.conf file $1 are all loopback addresses (a local
# stub resolver); false when it names none.
stub_only() {
    awk '$1 == "nameserver" { n++; if ($2 !~ /^127\./ && $2 != "::1") other = 1 }
        END { exit !(n > 0 && !other) }' "$1"
}

# The files of host $1: its root, its home, the C library's view.
make_files() {
    h=$1
    d=$DEMO_RUN/$h
    rm -rf "$d"
    mkdir -p "$d/root" "$d/home"
    cp -R "$TEMPLATES/common/root/." "$d/root/"
    [ -d "$TEMPLATES/$h/root" ] && cp -R "$TEMPLATES/$h/root/." "$d/root/"
    ln -s /proc "$d/root/proc"
    ln -s /sys "$d/root/sys"
    for f in connectiondata.xml appdata.xml kestrova-local.xml; do
        [ -f "$ROOT/examples/kestrova/$f" ] && cp "$ROOT/examples/kestrova/$f" "$d/home/"
    done
    cp -R "$TEMPLATES/common/home/." "$d/home/"
    [ -d "$TEMPLATES/$h/home" ] && cp -R "$TEMPLATES/$h/home/." "$d/home/"
    # What the host's stand-ins write from (standin.py writes:LINES:...).
    for f in "$TEMPLATES/$h"/*.lines; do
        [ -f "$f" ] && cp "$f" "$d/"
    done
    if [ -f "$CA" ]; then
        cp "$CA" "$d/home/kestrova.pem"
        chmod 600 "$d/home/kestrova.pem"
    fi
    e=/etc/netns/$(ns "$h")
    if ! mkdir -p "$e" 2>/dev/null; then
        say "note: cannot write $e; $h's C library sees this machine's /etc/hosts and resolv.conf"
        return 0
    fi
    for f in hosts resolv.conf nsswitch.conf; do
        # A dangling /etc/resolv.conf (no resolver running) cannot be covered.
        [ -f "$d/root/etc/$f" ] && [ -e "/etc/$f" ] && cp "$d/root/etc/$f" "$e/$f"
    done
    upstream=$d/root/run/systemd/resolve/resolv.conf
    if [ -f "$e/resolv.conf" ] && stub_only "$e/resolv.conf" && [ -f "$upstream" ]; then
        cp "$upstream" "$e/resolv.conf"
    fi
    return 0
}

make_network() {
    g=$(ns gate)
    for h in $HOSTS; do
        ip netns add "$(ns "$h")"
        ip -n "$(ns "$h")" link set lo up
    done
    ip netns exec "$g" sh -c 'echo 1 > /proc/sys/net/ipv4/ip_forward &&
        echo 1 > /proc/sys/net/ipv6/conf/all/forwarding'
    ip -n "$g" link add br-lan type bridge forward_delay 0
    ip -n "$g" link add br-dmz type bridge forward_delay 0
    ip -n "$g" addr add 192.0.2.1/24 dev br-lan
    ip -n "$g" addr add 2001:db8:1::1/64 dev br-lan nodad
    ip -n "$g" addr add 198.51.100.1/24 dev br-dmz
    ip -n "$g" addr add 2001:db8:2::1/64 dev br-dmz nodad
    ip -n "$g" link set br-lan up
    ip -n "$g" link set br-dmz up
    topology | while read -r h lan v4 v6; do
        n=$(ns "$h")
        case $lan in
        lan) gw4=192.0.2.1 gw6=2001:db8:1::1 ;;
        *) gw4=198.51.100.1 gw6=2001:db8:2::1 ;;
        esac
        # Made in place: neither end ever exists in the machine's namespace.
        ip link add name eth0 netns "$n" type veth peer name "$h" netns "$g"
        ip -n "$g" link set "$h" master "br-$lan" up
        ip -n "$n" addr add "$v4/24" dev eth0
        ip -n "$n" addr add "$v6/64" dev eth0 nodad
        ip -n "$n" link set eth0 up
        ip -n "$n" route add default via "$gw4" dev eth0
        ip -n "$n" -6 route add default via "$gw6" dev eth0
        quiet=""
        case " $SILENT " in
        *" $h "*)
            ip netns exec "$n" sh -c 'echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all &&
                echo 1 > /proc/sys/net/ipv6/icmp/echo_ignore_all'
            quiet=", ignores ping"
            ;;
        esac
        say "  $h: eth0 $v4/24 $v6/64 on $lan, default route via gate ($gw4)$quiet"
    done
    # The router must know no way beyond the two demo networks.
    if ip -n "$g" route get 203.0.113.1 >/dev/null 2>&1 ||
        ip -n "$g" -6 route get 2001:db8:ff::1 >/dev/null 2>&1; then
        die "gate has a route beyond the demo network; not going on"
    fi
}

# Starts host $1: its first process (host-init.sh) in its network namespace
# and new UTS and PID namespaces, with the agent command that follows, if
# any. The pid of the unshare process that waits for it goes to host.pid.
start_host() {
    h=$1
    shift
    d=$DEMO_RUN/$h
    # From the host's run directory: the stand-ins' file arguments are
    # relative to it.
    (cd "$d" && exec ip netns exec "$(ns "$h")" unshare --uts --pid --fork --mount-proc --kill-child \
        sh "$ROOT/scripts/demo/host-init.sh" "$h" "$TEMPLATES/$h/standins" "$PY" \
        "$ROOT/scripts/demo/standin.py" "$d/standins.log" "$d/home/qeld.log" "$@") \
        </dev/null >"$d/host.log" 2>&1 &
    echo $! >"$d/host.pid"
}

# Host $1 opens a TCP connection to a stand-in at $2 port $3 (within 5 s:
# the stand-ins are starting).
reach() {
    i=0
    # shellcheck disable=SC2016
    until ip netns exec "$(ns "$1")" timeout 2 bash -c 'exec 3<>"/dev/tcp/$0/$1"' "$2" "$3" 2>/dev/null; do
        i=$((i + 1))
        [ $i -lt 25 ] || die "$1 cannot reach $2 port $3"
        sleep 0.2
    done
}

up() {
    up_build=$ROOT/build
    up_agents=1
    for a in "$@"; do
        case $a in
        --no-agents) up_agents=0 ;;
        -*) usage >&2; exit 2 ;;
        /*) up_build=$a ;;
        *) up_build=$ROOT/$a ;;
        esac
    done
    bin=$up_build/bin
    plugdir=$up_build/plugins
    plugins=""
    if [ "$up_agents" -eq 1 ]; then
        [ -x "$bin/qeld" ] || die "no qeld in $bin: build first (make build)"
        [ -f "$CA" ] || die "no CA file $CA: make one with $bin/qelca init $(dirname "$CA")"
        plugins="mib2-linux.so"
        if [ -f "$plugdir/kestrova-linux.so" ]; then
            plugins="$plugins kestrova-linux.so"
        else
            say "note: $plugdir/kestrova-linux.so is not built yet; the agents run without kestrova"
        fi
        plugins="$plugins demoplugin-linux.so"
        for p in $plugins; do
            [ -f "$plugdir/$p" ] || die "plug-in $plugdir/$p is missing"
        done
    fi
    down --quiet
    if ! why=$(check); then
        die "cannot make the demo network: $why"
    fi
    # Debian's own interpreter when there is one: a wrapper found first in
    # PATH (pyenv, ...) would hide the daemon names the stand-ins take.
    if [ -x /usr/bin/python3 ]; then
        PY=/usr/bin/python3
    else
        PY=$(python3 -c 'import sys; print(sys.executable)' 2>/dev/null) || PY=""
    fi
    [ -n "$PY" ] || say "python3 is missing: no stand-in daemons"

    say "making namespaces $(for h in $HOSTS; do printf '%s ' "$(ns "$h")"; done)"
    mkdir -p "$DEMO_RUN"
    for h in $HOSTS; do make_files "$h"; done
    make_network

    if [ "$up_agents" -eq 1 ]; then
        say "starting each host: its stand-in daemons, then its qeld (plug-ins: $plugins; rhythms divided by $DIVISOR)"
    else
        say "starting each host's stand-in daemons"
    fi
    for h in $HOSTS; do
        if [ "$up_agents" -eq 1 ] && has_agent "$h"; then
            home=$DEMO_RUN/$h/home
            # shellcheck disable=SC2086
            start_host "$h" env KESTROVA_HOST_ROOT="$DEMO_RUN/$h/root" \
                KESTROVA_TIME_DIVISOR="$DIVISOR" MIB2_REFRESH_SECONDS=5 \
                "$bin/qeld" -f -H "$home" -P "$plugdir" $plugins
        else
            start_host "$h"
        fi
        names=$(grep -v '^[[:space:]]*\(#\|$\)' "$TEMPLATES/$h/standins" 2>/dev/null |
            awk '{ printf "%s%s", sep, $1; sep = ", " }')
        say "  $h runs stand-ins: ${names:-none}"
    done

    say "checking the links: wren reaches heron on the lan, kite and lark across gate"
    reach wren 192.0.2.53 53
    reach wren 198.51.100.25 25
    reach wren 2001:db8:2::25 25
    reach wren 198.51.100.80 631

    if [ "$up_agents" -eq 1 ]; then
        i=0
        for h in $HOSTS; do
            has_agent "$h" || continue
            home=$DEMO_RUN/$h/home
            until grep -q "qeld ready" "$home/qeld.log" 2>/dev/null; do
                i=$((i + 1))
                # Up to 30 s in all; an agent that is gone after 5 s has failed.
                if [ $i -gt 300 ] || { [ $i -gt 50 ] && ! agent_pid "$h" >/dev/null; }; then
                    echo "demo-net: the agent of $h did not come up; $home/qeld.log:" >&2
                    cat "$home/qeld.log" "$DEMO_RUN/$h/host.log" >&2 2>/dev/null || true
                    exit 1
                fi
                sleep 0.1
            done
            say "  $h: qeld pid $(agent_pid "$h" || echo '?'), $(grep -o 'qeld ready.*' "$home/qeld.log" | tail -n 1)"
        done
    fi
    say "demo network up: host files and homes in $DEMO_RUN"
}

status() {
    list=$(our_namespaces | tr "\n" " ")
    if [ -z "$list" ]; then
        say "no demo network"
        return 0
    fi
    for h in $HOSTS; do
        n=$(ns "$h")
        case " $list " in *" $n "*) ;; *) continue ;; esac
        addrs=$(ip -n "$n" -o addr show scope global 2>/dev/null |
            awk '{ a = $4; sub("/.*", "", a); printf " %s", a }')
        agent="no agent"
        if p=$(agent_pid "$h"); then agent="qeld pid $p"; fi
        printf '  %-6s %-14s %-12s%s\n' "$h" "$n" "$agent" "$addrs"
    done
}

case ${1:-} in
check) check ;;
up) shift; up "$@" ;;
down) down "${2:-}" ;;
status) status ;;
-h | --help | help) usage ;;
*) usage >&2; exit 2 ;;
esac
