#!/bin/sh
# Runs every fuzz target of a fuzz build for a while on its committed seeds.
# Usage: fuzz/run-fuzzers.sh BUILD_DIR SECONDS
# New inputs go to a scratch directory inside the build tree, so the
# committed corpus stays small; a crash, a failed check or a leak fails the
# run, and the input that caused it is left beside the scratch corpus.
set -eu

# A fixed seed keeps runs alike from one machine to the next (not the same:
# libxml2 seeds its hash tables at random, which steers the coverage a little
# differently each time). FUZZ_SEED=0 lets libFuzzer pick.
seed=${FUZZ_SEED:-1}

build=${1:?build directory}
secs=${2:-60}
src=$(cd "$(dirname "$0")" && pwd)
status=0

# Inputs tried per target: about a minute's worth on an idle 2-core machine,
# so that a loaded machine tries as many; SECONDS stops a target early.
runs_for() {
    case $1 in
    wire_header) echo 3000000 ;;
    base64_decode) echo 2000000 ;;
    parse_message) echo 1000000 ;;
    roundtrip) echo 200000 ;;
    visit_parse) echo 800000 ;;
    esac
}

for target in parse_message wire_header base64_decode roundtrip visit_parse; do
    bin="$build/fuzz/fuzz_$target"
    work="$build/fuzz/work/$target"
    # Each run starts from the committed seeds alone, as a fresh clone does.
    rm -rf "$work" "$build/fuzz/work/$target"-*
    mkdir -p "$work"
    dict=""
    [ -f "$src/$target.dict" ] && dict="-dict=$src/$target.dict"
    log="$build/fuzz/work/$target.log"
    echo "fuzz: $target for at most ${secs}s"
    # shellcheck disable=SC2086
    if "$bin" $dict -seed="$seed" -runs="${FUZZ_RUNS:-$(runs_for "$target")}" -max_total_time="$secs" -print_final_stats=1 \
        -artifact_prefix="$build/fuzz/work/$target-" \
        "$work" "$src/corpus/$target" >"$log" 2>&1; then
        grep -E "^#[0-9]+[[:space:]]+DONE|number_of_executed_units" "$log" | sed "s/^/fuzz: $target: /"
    else
        echo "fuzz: $target FAILED; log follows" >&2
        tail -n 60 "$log" >&2
        # The input itself, so that a run whose build tree is gone can
        # still be replayed: base64 -d > input; BUILD/fuzz/fuzz_<target> input
        for input in "$build/fuzz/work/$target"-crash-* "$build/fuzz/work/$target"-leak-* \
            "$build/fuzz/work/$target"-timeout-* "$build/fuzz/work/$target"-oom-*; do
            [ -f "$input" ] || continue
            echo "fuzz: $target: input $(basename "$input"), base64:" >&2
            base64 -w 76 "$input" | head -n 200 >&2
        done
        status=1
    fi
done
exit $status
