#!/bin/sh
# Runs the Windows qelquery.exe under Wine against a real qeld on loopback
# and checks it against the Linux qelquery: what can only go wrong on
# Windows (sockets, files and paths, enrolment, the export table).
#
#   sh tests/windows/run-wine-tests.sh WIN_BUILD_DIR LINUX_BUILD_DIR
#
# WIN_BUILD_DIR holds bin/qelquery.exe (cmake/mingw-w64.cmake);
# LINUX_BUILD_DIR the normal build (qeld, qelquery, qelca, the mib2 and
# demoplugin plug-ins). The Wine prefix lives in WIN_BUILD_DIR/wine and is
# made on the first run. Exits non-zero, saying why, on any failure.
set -u

if [ $# -ne 2 ] || [ "$1" = "--help" ]; then
    echo "usage: $0 WIN_BUILD_DIR LINUX_BUILD_DIR" >&2
    [ $# -eq 1 ] && [ "$1" = "--help" ] && exit 0
    exit 2
fi
WIN=$(cd "$1" && pwd) || exit 1
LIN=$(cd "$2" && pwd) || exit 1
SRC=$(cd "$(dirname "$0")/../.." && pwd)

EXE=$WIN/bin/qelquery.exe
QELQUERY=$LIN/bin/qelquery
QELD=$LIN/bin/qeld
QELCA=$LIN/bin/qelca
PLUGINS="$LIN/plugins/mib2-linux.so $LIN/plugins/demoplugin-linux.so"
OBJDUMP=x86_64-w64-mingw32-objdump

fails=0
checks=0
say() { echo "wine-tests: $*" >&2; }
fatal() { say "FAILED: $*"; exit 1; }
pass() { checks=$((checks + 1)); }
fail() {
    checks=$((checks + 1))
    fails=$((fails + 1))
    say "FAILED: $*"
}

for f in "$EXE" "$QELQUERY" "$QELD" "$QELCA" $PLUGINS; do
    [ -f "$f" ] || fatal "missing $f (build the Windows client and the Linux build first)"
done
command -v "$OBJDUMP" >/dev/null || fatal "missing $OBJDUMP (sh scripts/build-windows-deps.sh installs it)"

WINE=""
for w in wine64 /usr/lib/wine/wine64 wine; do
    if command -v "$w" >/dev/null 2>&1; then
        WINE=$(command -v "$w")
        break
    fi
done
[ -n "$WINE" ] || fatal "Wine cannot start: no wine64 installed (sh scripts/build-windows-deps.sh installs it)"
WINESERVER=$(dirname "$WINE")/wineserver
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver || echo wineserver)

T=$(mktemp -d "${TMPDIR:-/tmp}/kestrova-wine.XXXXXX") || fatal "no temporary directory"
qeld_pid=""
cleanup() {
    [ -n "$qeld_pid" ] && kill "$qeld_pid" 2>/dev/null && wait "$qeld_pid" 2>/dev/null
    WINEPREFIX=$WINEPREFIX "$WINESERVER" -k >/dev/null 2>&1
    rm -rf "$T"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# --- Wine -------------------------------------------------------------------
export WINEPREFIX="$WIN/wine"
export WINEDEBUG=-all
# No Mono or Gecko installers: a console program needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    "$WINE" wineboot -i >"$T/wineboot.log" 2>&1
    boot=$?
    # The server writes the registry out when it ends.
    "$WINESERVER" -w >/dev/null 2>&1
    if [ "$boot" -ne 0 ] || [ ! -f "$WINEPREFIX/system.reg" ]; then
        tail -n 5 "$T/wineboot.log" >&2
        rm -rf "$WINEPREFIX"
        fatal "Wine cannot start: wineboot -i failed (status $boot) in $WINEPREFIX"
    fi
fi
# One server for every run of the .exe, so each does not pay for its own.
"$WINESERVER" -p >/dev/null 2>&1

# Runs the .exe in directory $1 with the remaining arguments; stdout and
# stderr land in $T/out and $T/err (line endings as the program wrote
# them), the status in $rc.
run_win() {
    dir=$1
    shift
    (cd "$dir" && "$WINE" "$EXE" "$@") >"$T/out" 2>"$T/err" </dev/null
    rc=$?
}
run_lin() {
    dir=$1
    shift
    (cd "$dir" && "$QELQUERY" "$@") >"$T/lout" 2>"$T/lerr" </dev/null
    lrc=$?
}
# The text with Windows line endings made Unix ones.
unix_text() { sed 's/\r$//' "$1"; }
contains() { unix_text "$1" | grep -F -q -- "$2"; }

# A smoke run first: where Wine cannot run a program at all, say so once.
mkdir -p "$T/smoke"
run_win "$T/smoke" --help
if [ "$rc" -ne 0 ] || ! contains "$T/out" "usage: "; then
    cat "$T/err" >&2
    fatal "Wine cannot start qelquery.exe (--help gave status $rc)"
fi

# --- the export table and the imports -----------------------------------------
"$OBJDUMP" -p "$EXE" >"$T/pe.txt" || fatal "$OBJDUMP -p $EXE failed"
# The names of the export table, one per line.
sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$T/pe.txt" | sed -n 's/^[[:space:]]*\[ *[0-9]*\] \([A-Za-z_0-9]*\)$/\1/p' >"$T/exports"
for name in destroyQelSession newQelSession newQelSession6 newQelSessionConnect newQelSessionConnect6 \
    newQelSessionConnect6Timeout newQelSessionConnectHostname newQelSessionConnectTimeout \
    qelConnect6Session qelConnectSession qelDisconnectSession qelGetPeerInfo qelGetPeerPluginList \
    qelGetPeerVersion qelIsSessionAuthenticated qelIsSessionConnected qelPduCleanup \
    qelSendErrorResponse qelSendErrorResponseFatal qelSendQueryReceiveReply qelSessionSetAuthenUser \
    qelTransaction OPENSSL_Applink; do
    if grep -qx "$name" "$T/exports"; then pass; else fail "export table lacks $name"; fi
done
# Those and nothing else (no library's own export marks).
extra=$(grep -v -x -e OPENSSL_Applink -e destroyQelSession -e 'newQelSession.*' -e 'qel[A-Z].*' "$T/exports" | head -n 3)
[ -z "$extra" ] && pass || fail "export table holds more than the session operations: $extra ..."
[ "$(wc -l <"$T/exports")" -eq 23 ] && pass || fail "export table has $(wc -l <"$T/exports") names, want 23"
# One self-contained file: it imports only DLLs every Windows has.
sed -n 's/^[[:space:]]*DLL Name: //p' "$T/pe.txt" | tr 'A-Z' 'a-z' | sort -u >"$T/imports"
[ -s "$T/imports" ] || fail "no import table found in $EXE"
while read -r dll; do
    case "$dll" in
        kernel32.dll | msvcrt.dll | ws2_32.dll | iphlpapi.dll | advapi32.dll | crypt32.dll | \
            user32.dll | gdi32.dll | bcrypt.dll | api-ms-win-*) pass ;;
        *) fail "qelquery.exe needs $dll beside it (not linked statically)" ;;
    esac
done <"$T/imports"

# --- the agent ---------------------------------------------------------------
mkdir -p "$T/ca" "$T/home" "$T/win" "$T/lin" "$T/noca"
"$QELCA" init "$T/ca" >/dev/null 2>"$T/qelca.err" || { cat "$T/qelca.err" >&2; fatal "qelca init failed"; }
for d in home win lin; do cp "$T/ca/kestrova.pem" "$T/$d/"; done
# Named plug-ins only: kestrova never runs outside a namespace of its own.
# shellcheck disable=SC2086
"$QELD" -f -p 0 -l 127.0.0.1 -H "$T/home" $PLUGINS >"$T/qeld.out" 2>&1 &
qeld_pid=$!
port=""
i=0
while [ $i -lt 300 ]; do
    if [ -s "$T/home/qeld.port" ] && grep -q "qeld ready" "$T/home/qeld.log" 2>/dev/null; then
        port=$(cat "$T/home/qeld.port")
        break
    fi
    kill -0 "$qeld_pid" 2>/dev/null || break
    sleep 0.1
    i=$((i + 1))
done
[ -n "$port" ] || { cat "$T/qeld.out" >&2; fatal "qeld did not start"; }
HP="127.0.0.1,$port"

# The request files: answers that stay the same from one query to the next.
QUERIES="plugin-table.xml module-table.xml demoplugin-modules.xml mib2-addr-table.xml"
for q in $QUERIES; do
    cp "$SRC/examples/queries/$q" "$T/win/"
    cp "$SRC/examples/queries/$q" "$T/lin/"
done

# --- usage, missing CA, unreachable port ------------------------------------
# The program name differs (the .exe's own path); the rest is the same.
strip_prog() { unix_text "$1" | sed 's/^usage: [^ ]* /usage: PROG /'; }
run_win "$T/noca" 127.0.0.1 someone
run_lin "$T/noca" 127.0.0.1 someone
if [ "$rc" -eq 255 ] && contains "$T/err" "usage: " &&
    contains "$T/err" "host is either hostname, IPv4 address, or IPv6 address" &&
    [ "$(strip_prog "$T/err")" = "$(strip_prog "$T/lerr")" ]; then
    pass
else
    fail "usage: status $rc (want 255) or text differs from the Linux client's: $(unix_text "$T/err")"
fi

run_win "$T/noca" "$HP" someone plugin-table.xml
if [ "$rc" -eq 255 ] && [ "$(unix_text "$T/err")" = "$(printf 'Cannot find kestrova.pem\nUnable to initialize SSL facilities')" ] &&
    [ ! -e "$T/noca/qelquery.pem" ] && [ ! -e "$T/noca/qelquery.csr" ]; then
    pass
else
    fail "without kestrova.pem: status $rc (want 255), stderr: $(unix_text "$T/err")"
fi

# A port nobody listens on: bound and closed again by the shell's python.
free=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cp "$T/ca/kestrova.pem" "$T/noca/"
run_win "$T/noca" "127.0.0.1,$free" someone plugin-table.xml
if [ "$rc" -eq 255 ] && contains "$T/err" "qelquery: failed to connect to 127.0.0.1,$free"; then
    pass
else
    fail "unreachable port: status $rc (want 255), stderr: $(unix_text "$T/err")"
fi

# --- enrolment on the first start, reuse on the second -----------------------
run_win "$T/win" "$HP" winuser plugin-table.xml
if [ "$rc" -eq 1 ] && contains "$T/err" "qelquery: connected via IPv4 to $HP" && [ -s "$T/out" ]; then
    pass
else
    fail "first start: status $rc (want 1), stderr: $(unix_text "$T/err")"
fi
if [ -s "$T/win/qelquery.pem" ] && [ -s "$T/win/qelquery.csr" ] &&
    grep -q "PRIVATE KEY" "$T/win/qelquery.pem" && grep -q "BEGIN CERTIFICATE" "$T/win/qelquery.pem" &&
    openssl verify -CAfile "$T/ca/kestrova.pem" "$T/win/qelquery.pem" >/dev/null 2>&1; then
    pass
else
    fail "first start did not enrol: qelquery.pem with key and a certificate the CA signed"
fi
# The certificate names this host (its name, then the domain the network
# parameters give), and reading those parameters did not fail.
subject=$(openssl x509 -in "$T/win/qelquery.pem" -noout -subject -nameopt sep_multiline 2>/dev/null)
if echo "$subject" | grep -q "OU=Kestrova" && echo "$subject" | grep -q "CN=$(hostname)"; then
    pass
else
    fail "certificate subject: $subject (want CN=$(hostname)...)"
fi
if contains "$T/err" "getdomainname"; then fail "network parameters: $(unix_text "$T/err")"; else pass; fi
cp "$T/win/qelquery.pem" "$T/pem.1"
cp "$T/win/qelquery.csr" "$T/csr.1"
[ -s "$T/win/qelquery.session" ] && pass || fail "no TLS session kept in qelquery.session"
cp "$T/win/qelquery.session" "$T/session.1" 2>/dev/null

run_win "$T/win" "$HP" winuser plugin-table.xml
if [ "$rc" -eq 1 ] && cmp -s "$T/win/qelquery.pem" "$T/pem.1" && cmp -s "$T/win/qelquery.csr" "$T/csr.1"; then
    pass
else
    fail "second start: status $rc (want 1), or it touched its key or request file"
fi
# The session file is replaced in place (a kept session resumed gives a
# new one), and no temporary file is left beside it.
if [ -s "$T/win/qelquery.session" ] && ! cmp -s "$T/win/qelquery.session" "$T/session.1"; then
    pass
else
    fail "qelquery.session was not replaced on the second start"
fi
leftover=$(find "$T/win" -name 'qelquery.session.*' | head -n 1)
[ -z "$leftover" ] && pass || fail "temporary session file left: $leftover"

# --- the same request files give the same replies ------------------------------
# Plain and -xml, each request file alone and all in one run (file order).
compare() { # label, then the arguments after host[,port] and user
    label=$1
    shift
    run_win "$T/win" "$@"
    run_lin "$T/lin" "$@"
    unix_text "$T/out" >"$T/out.unix"
    if [ "$rc" -ne 1 ]; then
        fail "$label: status $rc (want 1): $(unix_text "$T/err")"
    elif [ "$lrc" -ne 0 ]; then
        fail "$label: the Linux client failed ($lrc): $(cat "$T/lerr")"
    elif [ ! -s "$T/lout" ]; then
        fail "$label: no reply printed"
    elif ! cmp -s "$T/out.unix" "$T/lout"; then
        fail "$label: output differs from the Linux client's:"
        diff "$T/lout" "$T/out.unix" | head -n 10 >&2
    else
        pass
    fi
}
for q in $QUERIES; do
    compare "$q" "$HP" user "$q"
    compare "-xml $q" -xml "$HP" user "$q"
    compare "-json $q" -json "$HP" user "$q"
done
# shellcheck disable=SC2086
compare "all four in one run" "$HP" user $QUERIES
# A name instead of an address, IPv4 asked for; and a directory given as a
# request file is reported and skipped.
mkdir -p "$T/win/notafile" "$T/lin/notafile"
compare "-4 localhost, a directory among the files" -4 "localhost,$port" user notafile plugin-table.xml
if contains "$T/err" "notafile is not regular"; then pass; else fail "a directory as request file: $(unix_text "$T/err")"; fi
# A request file that is not XML: the Windows client names the error alone,
# without the bytes of the buffer, and goes on with the next file.
printf '<qel xmlns="http://qel.kestrova.org/xsd/qel-1.0" message-id="3">\n<GetRequest>\001 never closed\n' >"$T/win/broken.xml"
cp "$T/win/broken.xml" "$T/lin/"
compare "a file that does not parse" "$HP" user broken.xml plugin-table.xml
if contains "$T/err" "parseQelMessage: xml parse error" && ! contains "$T/err" "erroneous buffer"; then
    pass
else
    fail "a file that does not parse: $(unix_text "$T/err")"
fi

if [ "$fails" -ne 0 ]; then
    say "$fails of $checks checks failed"
    exit 1
fi
say "all $checks checks passed"
exit 0
