#!/bin/sh
# The main job. Until the agent exists it lists what the build produced.
set -eu
BUILD=${1:-build}
echo "Built programs in $BUILD/bin:"
for f in "$BUILD"/bin/*; do [ -x "$f" ] && echo "  $f"; done
echo "Benchmarks in $BUILD/bench:"
for f in "$BUILD"/bench/*; do [ -x "$f" ] && echo "  $f"; done
