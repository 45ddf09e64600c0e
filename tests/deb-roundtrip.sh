#!/bin/sh
# The Debian package on this machine: install it, check the account, home,
# links, configuration files and enabled unit, run the installed qeld as the
# account kestrova (outside systemd, with --user) in a network namespace of
# its own, query it with the installed qelquery, then remove and purge the
# package and check that nothing of it is left. Needs root; a machine that
# already has kestrova installed is refused (the run would purge it).
set -eu

deb=${1:?usage: deb-roundtrip.sh PACKAGE.deb}
deb=$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")

say() { echo "deb-roundtrip: $*"; }
fail() { echo "deb-roundtrip: FAIL: $*" >&2; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
    say "SKIP: installing a package needs root"
    exit 0
fi
if dpkg-query -W -f='${Status}' kestrova 2>/dev/null | grep -qv "not-installed"; then
    fail "kestrova is installed here; remove it (dpkg -P kestrova) before this test, which purges it"
fi
for d in /etc/kestrova /var/lib/kestrova; do
    [ ! -e "$d" ] || fail "$d exists; it would be lost by the purge"
done
ns=kqdeb$$
if ! ip netns add "$ns" 2>/dev/null; then
    say "SKIP: network namespaces refused here"
    exit 0
fi

work=$(mktemp -d)
installed=0
cleanup() {
    if [ -f /var/lib/kestrova/qeld.pid ]; then
        kill "$(cat /var/lib/kestrova/qeld.pid)" 2>/dev/null || true
    fi
    ip netns del "$ns" 2>/dev/null || true
    if [ "$installed" = 1 ]; then
        dpkg -P kestrova >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# Every path under these trees, before and after: whatever the round trip
# adds and does not take away again is left behind. The package databases
# change by design.
snapshot() {
    find /etc /usr /lib /var/lib /opt -xdev \
        \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/lib/ucf \
           -o -path /var/cache -o -path /var/lib/man-db -o -path /usr/share/info \) -prune \
        -o -print 2>/dev/null | grep -v -e '^/etc/[a-z]*-$' -e '^/etc/\.pwd\.lock$' | sort
}
snapshot >"$work/before"

say "installing $(basename "$deb")"
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i"; }
installed=1

# The account, its home and the links to the configuration files.
entry=$(getent passwd kestrova) || fail "no account kestrova"
[ "$(echo "$entry" | cut -d: -f6)" = /var/lib/kestrova ] || fail "kestrova's home: $entry"
case "$(echo "$entry" | cut -d: -f7)" in */nologin) ;; *) fail "kestrova can log in: $entry" ;; esac
[ "$(stat -c '%U %a' /var/lib/kestrova)" = "kestrova 750" ] ||
    fail "home: $(stat -c '%U %a' /var/lib/kestrova)"
for f in appdata.xml connectiondata.xml kestrova-local.xml; do
    [ "$(readlink /var/lib/kestrova/$f)" = "/etc/kestrova/$f" ] || fail "no link to /etc/kestrova/$f"
    dpkg-query -W -f='${Conffiles}\n' kestrova | grep -q " /etc/kestrova/$f " ||
        fail "/etc/kestrova/$f is not a configuration file"
done
[ "$(readlink /etc/systemd/system/multi-user.target.wants/qeld.service)" = /lib/systemd/system/qeld.service ] ||
    fail "qeld.service is not enabled"

# The installed unit as systemd reads it (its manual page when installed).
man=yes
man -w qeld.8 >/dev/null 2>&1 || { man=no; say "no qeld(8) installed: unit checked without its manual page"; }
systemd-analyze verify --man=$man /lib/systemd/system/qeld.service >"$work/verify" 2>&1 ||
    { cat "$work/verify" >&2; fail "systemd-analyze verify"; }
[ ! -s "$work/verify" ] || { cat "$work/verify" >&2; fail "systemd-analyze verify reports"; }
score=$(systemd-analyze security --offline=true /lib/systemd/system/qeld.service 2>/dev/null |
    sed -n 's/.*Overall exposure level for qeld.service: \([0-9.]*\).*/\1/p')
[ -n "$score" ] || fail "systemd-analyze security gave no exposure level"
say "systemd-analyze security: exposure $score"
# The sandbox is part of the package: a unit that loses it fails here.
awk -v s="$score" 'BEGIN { exit !(s <= 3.0) }' || fail "exposure $score above 3.0"

# The operator's CA, then the installed agent as kestrova in its namespace,
# with the installed plug-ins (the default directory, every plug-in).
/usr/bin/qelca init "$work/ca" >/dev/null
install -o kestrova -g kestrova -m 0600 "$work/ca/kestrova.pem" /var/lib/kestrova/
ip -n "$ns" link set lo up
ip netns exec "$ns" /usr/sbin/qeld -H /var/lib/kestrova -l 127.0.0.1 --user kestrova ||
    fail "qeld did not start"
i=0
until grep -q "qeld ready" /var/lib/kestrova/qeld.log 2>/dev/null; do
    i=$((i + 1))
    [ $i -le 300 ] || { cat /var/lib/kestrova/qeld.log >&2 || true; fail "qeld not ready within 30 s"; }
    sleep 0.1
done
grep -q "plug-ins from /usr/lib/" /var/lib/kestrova/qeld.log || fail "plug-ins not from the installed directory"
grep -q "qeld ready, 3 plug-ins" /var/lib/kestrova/qeld.log || fail "$(grep 'qeld ready' /var/lib/kestrova/qeld.log)"
pid=$(cat /var/lib/kestrova/qeld.pid)
uid=$(id -u kestrova)
grep -q "^Uid:	$uid	$uid	$uid	$uid$" "/proc/$pid/status" || fail "agent not running as kestrova"
for set in CapPrm CapEff CapAmb CapBnd; do
    grep -q "^$set:	0000000000082004$" "/proc/$pid/status" ||
        fail "$(grep "^$set:" "/proc/$pid/status"): not exactly net_raw, dac_read_search, sys_ptrace"
done
[ "$(stat -c %U /var/lib/kestrova/qeld.pem)" = kestrova ] || fail "the agent's key is not kestrova's"

mkdir "$work/client"
cp "$work/ca/kestrova.pem" "$work/client/"
(cd "$work/client" && ip netns exec "$ns" /usr/bin/qelquery 127.0.0.1,5270 tester \
    /usr/share/kestrova/queries/plugin-table.xml) >"$work/reply" 2>&1 ||
    { cat "$work/reply" >&2; fail "qelquery"; }
for p in mib2Plugin kestrova demoPlugin; do
    grep -q "$p" "$work/reply" || { cat "$work/reply" >&2; fail "$p not in the plug-in table"; }
done
say "the installed agent answered as kestrova"

kill "$pid"
i=0
while kill -0 "$pid" 2>/dev/null; do
    i=$((i + 1))
    [ $i -le 150 ] || fail "qeld did not stop within 15 s"
    sleep 0.1
done

dpkg -r kestrova >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -r"; }
[ ! -e /usr/sbin/qeld ] || fail "qeld left after remove"
[ -f /etc/kestrova/kestrova-local.xml ] || fail "configuration lost by remove"
dpkg -P kestrova >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -P"; }
installed=0
for d in /etc/kestrova /var/lib/kestrova /etc/systemd/system/multi-user.target.wants/qeld.service; do
    [ ! -e "$d" ] && [ ! -L "$d" ] || fail "$d left after purge"
done
snapshot >"$work/after"
left=$(comm -13 "$work/before" "$work/after")
[ -z "$left" ] || fail "left behind: $left"
say "removed and purged, nothing left (the system account kestrova stays)"
