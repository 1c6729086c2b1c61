#!/usr/bin/env bash
# Runs one driver-level fuzz target for a bounded number of inputs:
#   run_fuzzer.sh FUZZER CORPUS_DIR RUNS [libFuzzer options...]
# CORPUS_DIR is made afresh and filled with the seeds the target writes
# (VCAM_FUZZ_SEEDS), so every run starts from the same corpus; libFuzzer adds
# the inputs it finds there. Fails when the target fails or crashes.
set -euo pipefail
fuzzer=$1
corpus=$2
runs=$3
shift 3
rm -rf "$corpus"
mkdir -p "$corpus"
VCAM_FUZZ_SEEDS="$corpus" "$fuzzer"
exec "$fuzzer" -runs="$runs" -seed=1 -print_final_stats=1 "$@" "$corpus"
