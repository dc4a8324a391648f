#!/usr/bin/env bash
# Runs one fuzz target for a while: run.sh TARGET SEEDS WORK SECONDS [libFuzzer options...]
# New inputs it finds go to WORK/corpus, a crashing input to WORK/ (named crash-..., leak-...,
# timeout-...); the seed corpus is only read. Exit status 0 when nothing was found.
set -euo pipefail
target=$1 seeds=$2 work=$3 seconds=$4
shift 4
mkdir -p "$work/corpus"
# The targets that read files work in a scratch directory of their own: every path absolute.
target=$(realpath "$target") seeds=$(realpath "$seeds") work=$(realpath "$work")
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
exec "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
     -print_final_stats=1 -artifact_prefix="$work/" "$@" "$work/corpus" "$seeds"
