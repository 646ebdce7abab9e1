#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (in build-fuzz, under AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS seconds (default 60) from the seeds the
# build writes. Exits non-zero when a fuzzer finds a crash, a hang, a leak or a broken invariant;
# the input that did it is left in build-fuzz/fuzz/findings/.
#   tools/fuzz.sh [--smoke] [SECONDS] [state|load ...]
# A long run grows the corpus in build-fuzz/fuzz/corpus/ and draws a new random seed each time.
# --smoke (the test command's run) starts from the seeds alone with a fixed random seed, so that it
# walks the same inputs on every machine and a pass here is a pass in CI.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
smoke=0
if [ "${1:-}" = "--smoke" ]; then
    smoke=1
    shift
fi
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(state load)
build="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_FUZZ=ON \
    -DTOLVANE_SANITIZE=address,undefined -DTOLVANE_BUILD_TESTS=OFF -DTOLVANE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tolvane_fuzzers

work="$build/fuzz"
mkdir -p "$work/findings"
status=0
seed=()
if [ "$smoke" -eq 1 ]; then
    seed=(-seed=1)
    smoke_corpus="$(mktemp -d)"
    trap 'rm -rf "$smoke_corpus"' EXIT
fi
for target in "${targets[@]}"; do
    corpus="$work/corpus/$target"
    [ "$smoke" -eq 0 ] || corpus="$smoke_corpus/$target"
    mkdir -p "$corpus"
    # -timeout catches a hang (a file of 12 million frames takes seconds to decode under the
    # sanitizers, more on a busy machine), -rss_limit_mb (also the limit of any one allocation)
    # runaway memory.
    dict=()
    [ -f "$root/fuzz/$target.dict" ] && dict=(-dict="$root/fuzz/$target.dict")
    echo "== fuzzing $target for $seconds s"
    ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        "$work/tolvane_fuzz_$target" -max_total_time="$seconds" -timeout=120 -rss_limit_mb=3072 \
        -max_len=65536 -print_final_stats=1 "${dict[@]}" "${seed[@]}" \
        -artifact_prefix="$work/findings/$target-" "$corpus" "$work/seeds/$target" || status=1
done
exit $status
