#!/bin/sh
# Installs every Debian package the build, the tests, the fuzzers and the
# benchmarks need. Idempotent: quiet when everything is already present.
set -eu

PACKAGES="build-essential cmake ninja-build pkg-config make git
libssl-dev openssl libxml2-dev libpcre2-dev
libgtest-dev libgmock-dev googletest libbenchmark-dev
clang libclang-rt-14-dev
python3 python3-networkx iproute2 procps iputils-ping
libcap-dev systemd dpkg-dev debhelper fakeroot lintian
mandoc libgraphviz-dev graphviz nlohmann-json3-dev
samba smbclient libsqlite3-dev sqlite3 libcpp-httplib-dev
postgresql libpq-dev snmpd snmp"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages:$missing" >&2
    echo "install-deps: run this script as root to install them" >&2
    exit 1
fi

echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
# No service the packages bring is started (smbd would listen on the
# machine's own network): the tests start their daemons in namespaces.
if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
fi
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
