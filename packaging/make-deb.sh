#!/bin/sh
# Builds kestrova_VERSION_ARCH.deb from a build tree that is already built
# (make deb): debian/rules installs that tree, nothing is compiled again.
# The package lands in the build directory.
set -eu

[ $# -eq 1 ] || { echo "usage: make-deb.sh BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
logged=$(dpkg-parsechangelog -l "$src/packaging/debian/changelog" -S Version)
if [ "$version" != "$logged" ]; then
    echo "make-deb: the project is $version, packaging/debian/changelog says $logged" >&2
    exit 1
fi
# The package's clients link the system's libraries, which Debian's
# security updates reach.
if grep -q '^KESTROVA_STATIC_CLIENT:BOOL=ON$' "$build/CMakeCache.txt"; then
    echo "make-deb: $build links the clients statically; package a build with KESTROVA_STATIC_CLIENT=OFF" >&2
    exit 1
fi
arch=$(dpkg --print-architecture)

stage="$build/deb"
rm -rf "$stage"
mkdir -p "$stage/kestrova-$version"
cp -R "$src/packaging/debian" "$stage/kestrova-$version/"
# Binary package only, from the built tree: no build dependencies to check
# (-d), nothing to sign.
(cd "$stage/kestrova-$version" &&
    KESTROVA_BUILD="$build" dpkg-buildpackage -b -d -us -uc >"$stage/build.log" 2>&1) || {
    tail -n 40 "$stage/build.log" >&2
    echo "make-deb: dpkg-buildpackage failed (log: $stage/build.log)" >&2
    exit 1
}
deb="kestrova_${version}_${arch}.deb"
rm -f "$build"/kestrova_*.deb
mv "$stage/$deb" "$build/$deb"
echo "$build/$deb"
