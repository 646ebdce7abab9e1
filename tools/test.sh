#!/usr/bin/env bash
# Installs what the build needs, builds, and runs every test three ways: a normal build,
# the same tests under AddressSanitizer + UndefinedBehaviorSanitizer, and the concurrency
# tests under ThreadSanitizer, then a short run of each fuzz target. Exits non-zero on any failure
# or sanitizer report.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc)"

bash "$root/tools/setup.sh"

configure() {
    local dir="$1"
    shift
    cmake -S "$root" -B "$dir" -G Ninja "$@"
}

echo "== normal build and tests"
configure "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build" -j "$jobs"
ctest --test-dir "$root/build" -j "$jobs" --output-on-failure --timeout 900

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_SANITIZE=address,undefined,float-cast-overflow -DTOLVANE_BUILD_BENCH=OFF
cmake --build "$root/build-asan" -j "$jobs" --target tolvane_unit_tests
ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir "$root/build-asan" -j "$jobs" -L unit --output-on-failure --timeout 1200

echo "== ThreadSanitizer"
configure "$root/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_SANITIZE=thread -DTOLVANE_BUILD_BENCH=OFF
cmake --build "$root/build-tsan" -j "$jobs" --target tolvane_concurrency_tests
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
    ctest --test-dir "$root/build-tsan" -j "$jobs" -L concurrency --output-on-failure --timeout 900

echo "== libFuzzer smoke runs (clang, AddressSanitizer + UndefinedBehaviorSanitizer)"
bash "$root/tools/fuzz.sh" --smoke 60

echo "== all test runs passed"
