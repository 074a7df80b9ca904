#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for the given number of seconds on its seed corpus.
# Seeds: the unit tests write the files they read into tests/fuzz/corpus-<target>/ when
# FUZZ_CORPUS_ROOT is set; the web messages' few seeds are kept in the repository there. A crash, leak, hang or oversized allocation fails the run. The
# per-input time limit is generous because the machines are shared and a busy one can stall a run.
# Usage: run_fuzzers.sh FUZZ_BUILD_DIR UNIT_BUILD_DIR SECONDS
set -euo pipefail
fuzz_build=$(realpath "$1")
unit_build=$(realpath "$2")
seconds=$3
here=$(cd "$(dirname "$0")" && pwd)

targets=("$fuzz_build"/tests/fuzz/*_fuzz)
if [ ! -x "${targets[0]}" ]; then
    echo "no fuzz targets in $fuzz_build/tests/fuzz" >&2
    exit 1
fi
for target in "${targets[@]}"; do
    name=$(basename "$target" _fuzz)
    mkdir -p "$here/corpus-$name"
done
# Judging the unit tests is `make test`'s business; here they only leave their files behind.
FUZZ_CORPUS_ROOT="$here" "$unit_build/tests/unit/unit_tests" >/dev/null 2>&1 ||
    echo "note: some unit tests failed while writing seeds" >&2

artifacts="$fuzz_build/fuzz-artifacts"
mkdir -p "$artifacts"
for target in "${targets[@]}"; do
    name=$(basename "$target" _fuzz)
    echo "fuzzing $name for $seconds s on $(ls "$here/corpus-$name" | wc -l) seeds"
    # Standard output and error of the reader are closed: libFuzzer keeps its own report channel.
    "$target" -max_total_time="$seconds" -timeout=30 -malloc_limit_mb=256 -close_fd_mask=3 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$name-" "$here/corpus-$name"
done
