#!/bin/sh
# Builds the libraries of the Windows client, OpenSSL and libxml2, from
# Debian's own source packages (the versions the Linux build links), as
# static mingw-w64 libraries, into a prefix keyed by their versions outside
# the build tree. Only the first run on a machine pays for the build; later
# runs find the prefix complete and say nothing. Installs the Debian packages
# the cross build and the Wine tests need, like scripts/install-deps.sh.
#
#   sh scripts/build-windows-deps.sh                 build (or find) the prefix
#   sh scripts/build-windows-deps.sh --print-prefix  print the prefix's path
#
# KESTROVA_WINDOWS_DEPS_CACHE names the cache directory (default:
# /var/cache/kestrova/windows-deps as root, else
# ${XDG_CACHE_HOME:-~/.cache}/kestrova/windows-deps).
set -eu

TRIPLE=x86_64-w64-mingw32
HERE=$(cd "$(dirname "$0")/.." && pwd)
PACKAGES="g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
wine64 dpkg-dev perl make cmake ninja-build pkg-config"
SRC_LIST=/etc/apt/sources.list.d/kestrova-deb-src.sources
# Raised when the way a library is built changes: a cached prefix built the
# old way then rebuilds that library (and only that one).
OPENSSL_RECIPE=1
LIBXML2_RECIPE=2
RECIPES="openssl $OPENSSL_RECIPE libxml2 $LIBXML2_RECIPE"

say() { echo "build-windows-deps: $*" >&2; }
die() { say "$*"; exit 1; }

mode=build
case "${1:-}" in
    "") ;;
    --print-prefix) mode=print ;;
    -h|--help)
        sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'
        exit 0 ;;
    *) die "unknown argument '$1' (try --help)" ;;
esac

if [ -n "${KESTROVA_WINDOWS_DEPS_CACHE:-}" ]; then
    CACHE=$KESTROVA_WINDOWS_DEPS_CACHE
elif [ "$(id -u)" -eq 0 ]; then
    CACHE=/var/cache/kestrova/windows-deps
else
    CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/kestrova/windows-deps
fi

# The versions of the Linux build's development packages; a directory name
# keeps only the characters a path takes without quoting.
version_of() {
    dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true
}
ossl_ver=$(version_of libssl-dev)
xml_ver=$(version_of libxml2-dev)
[ -n "$ossl_ver" ] && [ -n "$xml_ver" ] || \
    die "libssl-dev and libxml2-dev must be installed first (sh scripts/install-deps.sh)"
key=$(printf 'openssl-%s_libxml2-%s' "$ossl_ver" "$xml_ver" | tr -c 'A-Za-z0-9._+\n-' '_')
PREFIX=$CACHE/$key

if [ "$mode" = print ]; then
    echo "$PREFIX"
    exit 0
fi

# --- packages --------------------------------------------------------------
missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
if [ -n "$missing" ]; then
    [ "$(id -u)" -eq 0 ] || die "missing packages:$missing (run this script as root to install them)"
    say "installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq -o DPkg::Lock::Timeout=300
    # shellcheck disable=SC2086
    apt-get install -y -qq -o DPkg::Lock::Timeout=300 --no-install-recommends $missing >/dev/null
fi

# The prefix is complete once its stamp is written (the last step).
[ "$(cat "$PREFIX/.complete" 2>/dev/null)" = "$RECIPES" ] && exit 0

# --- sources ---------------------------------------------------------------
# Source entries for the configured Debian suites: the same URIs, suites,
# components and keyring as the binary entries, in a file of our own.
enable_deb_src() {
    [ -f "$SRC_LIST" ] && return 0
    [ "$(id -u)" -eq 0 ] || die "Debian source entries are not enabled (run this script as root once)"
    tmp=$(mktemp)
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        [ "$f" = "$SRC_LIST" ] && continue
        grep -q 'debian\.org' "$f" || continue
        # Keep deb stanzas only (as deb-src); a stanza ends at a blank line.
        awk 'BEGIN { RS=""; ORS="\n\n" }
             /(^|\n)Types:[^\n]*deb([ \n]|$)/ && /debian\.org/ && !/(^|\n)Enabled: *no/ {
                 gsub(/(^|\n)#[^\n]*/, "")
                 sub(/Types:[^\n]*/, "Types: deb-src")
                 print }' "$f" >>"$tmp"
    done
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb \(.*debian\.org.*\)$/\1/p' /etc/apt/sources.list | while read -r line; do
            # One-line entries: deb [opts] URI SUITE COMPONENTS...
            set -- $line
            signed=""
            case "$1" in
                \[*) opts=$1; shift
                     signed=$(echo "$opts" | sed -n 's/.*signed-by=\([^] ]*\).*/\1/p') ;;
            esac
            uri=$1; suite=$2; shift 2
            printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n' "$uri" "$suite" "$*"
            [ -n "$signed" ] && printf 'Signed-By: %s\n' "$signed"
            printf '\n'
        done >>"$tmp"
    fi
    [ -s "$tmp" ] || { rm -f "$tmp"; die "no Debian entries in /etc/apt/sources.list(.d) to take the sources from"; }
    install -m 0644 "$tmp" "$SRC_LIST"
    rm -f "$tmp"
    say "enabled Debian source entries in $SRC_LIST"
    apt-get update -qq -o DPkg::Lock::Timeout=300
}
enable_deb_src

mkdir -p "$CACHE"
WORK=$(mktemp -d "$CACHE/.build.XXXXXX")
trap 'rm -rf "$WORK"' EXIT INT TERM
cd "$WORK"

# Newest first: the source versions the configured suites list.
source_versions() {
    apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u |
        while read -r v; do echo "$v"; done | sort -r -V
}

fetch() { # package version
    # The exact version the Linux build uses; where the archive no longer
    # holds it, the newest the suites list that can be fetched (the
    # VERSIONS file of the prefix names what was built).
    apt-get source -qq "$1=$2" >/dev/null 2>>apt.err && return 0
    for v in $(source_versions "$1"); do
        [ "$v" = "$2" ] && continue
        rm -rf ./"$1"[-_]*
        if apt-get source -qq "$1=$v" >/dev/null 2>>apt.err; then
            say "$1 $2 cannot be fetched from the source archive; building $v instead"
            return 0
        fi
    done
    cat apt.err >&2
    die "apt-get source $1 failed"
}

# Each library is installed in place (the .pc files name their prefix) and
# marked done by a stamp of its own, so that a run cut short resumes with
# the library it was building; .complete, written last, marks the prefix.
start=$(date +%s)
jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p "$PREFIX"
say "building OpenSSL $ossl_ver and libxml2 $xml_ver for Windows into $PREFIX (first run only)"

# OpenSSL: static libcrypto and libssl only (no programs, tests or manuals).
# A library is built when its stamp is missing or names an older recipe.
built() { [ "$(sed -n 2p "$PREFIX/.$1-done" 2>/dev/null)" = "recipe $2" ]; }
rm -f "$PREFIX/.complete"
if ! built openssl $OPENSSL_RECIPE; then
    fetch openssl "$ossl_ver"
    osrc=$(find . -maxdepth 1 -type d -name 'openssl-*' | head -n 1)
    [ -n "$osrc" ] || die "unpacked OpenSSL sources not found in $WORK"
    (
        cd "$osrc"
        ./Configure mingw64 --cross-compile-prefix=$TRIPLE- \
            --prefix="$PREFIX" --libdir=lib \
            no-shared no-tests no-module >"$WORK/openssl-configure.log" 2>&1
        make -j"$jobs" build_libs >"$WORK/openssl-build.log" 2>&1
        make install_dev >"$WORK/openssl-install.log" 2>&1
    ) || { tail -n 30 "$WORK"/openssl-*.log >&2; die "the OpenSSL cross build failed"; }
    [ -f "$PREFIX/include/openssl/applink.c" ] || cp "$osrc/ms/applink.c" "$PREFIX/include/openssl/applink.c"
    printf '%s\nrecipe %s\n' "$(basename "$osrc")" $OPENSSL_RECIPE >"$PREFIX/.openssl-done"
fi

# libxml2: static, without ICU, iconv, lzma, zlib, Python, HTTP or FTP.
# LIBXML_STATIC while building too: without it libxml2's headers mark every
# function for export, and the .exe would export all of them.
if ! built libxml2 $LIBXML2_RECIPE; then
    fetch libxml2 "$xml_ver"
    xsrc=$(find . -maxdepth 1 -type d -name 'libxml2-*' | head -n 1)
    [ -n "$xsrc" ] || die "unpacked libxml2 sources not found in $WORK"
    (
        cmake -S "$xsrc" -B "$WORK/xml-build" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$HERE/cmake/mingw-w64.cmake" \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" \
            -DBUILD_SHARED_LIBS=OFF -DCMAKE_C_FLAGS=-DLIBXML_STATIC \
            -DLIBXML2_WITH_ICU=OFF -DLIBXML2_WITH_ICONV=OFF -DLIBXML2_WITH_LZMA=OFF \
            -DLIBXML2_WITH_ZLIB=OFF -DLIBXML2_WITH_PYTHON=OFF -DLIBXML2_WITH_HTTP=OFF \
            -DLIBXML2_WITH_FTP=OFF -DLIBXML2_WITH_TESTS=OFF -DLIBXML2_WITH_PROGRAMS=OFF \
            -DLIBXML2_WITH_MODULES=OFF \
            >"$WORK/libxml2-configure.log" 2>&1
        cmake --build "$WORK/xml-build" -j "$jobs" >"$WORK/libxml2-build.log" 2>&1
        cmake --install "$WORK/xml-build" >"$WORK/libxml2-install.log" 2>&1
    ) || { tail -n 30 "$WORK"/libxml2-*.log >&2; die "the libxml2 cross build failed"; }
    printf '%s\nrecipe %s\n' "$(basename "$xsrc")" $LIBXML2_RECIPE >"$PREFIX/.libxml2-done"
fi

# The versions actually built (where the archive gave a newer one).
{
    echo "openssl $(sed -n 1p "$PREFIX/.openssl-done")"
    echo "libxml2 $(sed -n 1p "$PREFIX/.libxml2-done")"
} >"$PREFIX/VERSIONS"

echo "$RECIPES" >"$PREFIX/.complete"
say "done in $(( $(date +%s) - start )) s: $PREFIX"
