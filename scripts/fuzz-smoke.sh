#!/usr/bin/env bash
# Runs every fuzz target in a build folder for a short fixed time.
set -euo pipefail
dir=${1:-build/fuzz}
secs=${FUZZ_SECONDS:-20}
shopt -s nullglob
found=0
for f in "$dir"/fuzz/fuzz_*; do
    [[ -x "$f" && ! -d "$f" ]] || continue
    found=1
    name=$(basename "$f")
    corpus="$dir/corpus/$name"
    mkdir -p "$corpus"
    echo "fuzzing $name for ${secs}s"
    "$f" -max_total_time="$secs" -print_final_stats=1 "$corpus" 2>&1 | tail -n 3
done
((found)) || { echo "no fuzz targets in $dir"; exit 1; }
