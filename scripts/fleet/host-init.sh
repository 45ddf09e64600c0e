#!/bin/sh
# The first process of a fleet host: pid 1 of the host's own process
# namespace, in the host's network and UTS namespaces. It names the host,
# starts the stand-in daemons listed in STANDINS (a NAME with arguments is
# scripts/demo/standin.py under that name; a NAME alone is an idle process
# of that name, a link to sleep in BINDIR, which costs far less memory than
# an interpreter) and then the agent command, if any. On TERM it stops the
# agent (up to 10 s, it saves its state on the way out), then the stand-ins,
# and ends, which ends every process of the host.
#
# usage: host-init.sh HOST STANDINS PYTHON STANDIN-SCRIPT BINDIR STANDIN-LOG
#                     AGENT-LOG [AGENT-COMMAND ...]
set -u
if [ $# -lt 7 ]; then
    echo "usage: host-init.sh HOST STANDINS PYTHON STANDIN-SCRIPT BINDIR STANDIN-LOG AGENT-LOG [AGENT-COMMAND ...]" >&2
    exit 2
fi
host=$1 standins=$2 py=$3 standin=$4 bindir=$5 log=$6 agentlog=$7
shift 7

echo "$host" >/proc/sys/kernel/hostname

gone() {
    st=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) || return 0
    [ -z "$st" ] || [ "$st" = Z ]
}

kids=""
if [ -f "$standins" ]; then
    while read -r name args; do
        case $name in '' | '#'*) continue ;; esac
        if [ -z "$args" ]; then
            [ -x "$bindir/$name" ] || continue
            "$bindir/$name" infinity </dev/null >>"$log" 2>&1 &
        elif [ -n "$py" ]; then
            # shellcheck disable=SC2086
            bash -c 'exec -a "$0" "$@"' "$name" "$py" "$standin" "$name" $args </dev/null >>"$log" 2>&1 &
        else
            continue
        fi
        kids="$kids $!"
    done <"$standins"
fi

agent=""
if [ $# -gt 0 ]; then
    "$@" </dev/null >>"$agentlog" 2>&1 &
    agent=$!
fi

stop() {
    trap '' TERM INT
    if [ -n "$agent" ]; then
        kill -TERM "$agent" 2>/dev/null
        i=0
        while ! gone "$agent" && [ $i -lt 100 ]; do
            sleep 0.1
            i=$((i + 1))
        done
        gone "$agent" || kill -KILL "$agent" 2>/dev/null
    fi
    # shellcheck disable=SC2086
    [ -n "$kids" ] && kill -TERM $kids 2>/dev/null
    exit 0
}
trap stop TERM INT

# Waiting reaps every child; a sleeper keeps the wait going once the others
# are gone, so TERM is always taken at once.
sleep 2147483647 &
while :; do
    wait
done
