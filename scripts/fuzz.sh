#!/usr/bin/env bash
# Runs every fuzz target built in $FUZZ_BUILD for $FUZZ_SECONDS seconds each, starting from its seed
# corpus in fuzz/corpus/<target>/. New inputs (<target>/corpus/) and each run's findings (crash-*,
# leak-*, timeout-*, oom-* in <target>/findings-<time>/) are written under $FUZZ_FINDINGS, outside the
# source tree. Prints executions and findings per target and
# exits non-zero when any target found something.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
findings=${FUZZ_FINDINGS:-${TMPDIR:-/tmp}/brightloom-share-fuzz}
targets=${FUZZ_TARGETS:-request path form_cookie redirect syncthing_config state_document}
mkdir -p "$findings"
findings=$(cd "$findings" && pwd)
# Each run keeps its findings apart, so an old finding is never counted again; the corpora grow across runs.
stamp=$(date -u +%Y%m%dT%H%M%SZ)

status=0
summary=""
for target in $targets; do
    binary="$build/fuzz/fuzz_$target"
    if [ ! -x "$binary" ]; then
        echo "fuzz: $binary is not built" >&2
        exit 2
    fi
    place="$findings/$target"
    artifacts="$place/findings-$stamp"
    mkdir -p "$place/corpus" "$artifacts"
    log="$place/last-run.log"
    echo "== $target: $seconds s (log $log)"
    # Each input gets at most 10 s and 2 GiB; the run is bounded by time and by its count of inputs.
    "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$place/corpus" "fuzz/corpus/$target" >"$log" 2>&1
    code=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    found=$(find "$artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
        -o -name 'oom-*' -o -name 'slow-unit-*' \) | sort)
    count=$(printf '%s' "$found" | grep -c . || true)
    line=$(printf '%-18s executions %-10s findings %s' "$target" "${executions:-?}" "$count")
    echo "$line"
    summary="$summary$line"$'\n'
    if [ "$count" -gt 0 ] || [ "$code" -ne 0 ]; then
        status=1
        [ -n "$found" ] && printf '    %s\n' $found
        [ "$code" -ne 0 ] && echo "    libFuzzer exited with $code; see $log"
        grep -m 3 -E 'ERROR|SUMMARY|property broken' "$log" | sed 's/^/    /'
    fi
done
echo
echo "Fuzzing, $seconds s per target (findings under $findings):"
printf '%s' "$summary"
exit $status
