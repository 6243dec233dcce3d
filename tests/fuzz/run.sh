#!/usr/bin/env bash
# Builds the fuzzers with clang (libFuzzer with the address and undefined-behaviour sanitizers)
# apart from the program's own build, and runs each for a bounded time over the corpus kept here;
# what they find anew is thrown away, a crash is kept in the build folder. Exit status 77: clang
# or libFuzzer is missing. The seed is fixed unless given (0: a random one), so a run mostly
# repeats the one before it (file times still steer the coverage a little) and does not fail on a
# fresh draw; explore with another seed and more seconds.
# Usage: run.sh BUILD_FOLDER [SECONDS_EACH] [SEED]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
seconds=${2:-20}
seed=${3:-1}

compiler=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$compiler" ]; then
    echo "skipped: clang++ is not installed (Debian package clang)"
    exit 77
fi
scratch=$(mktemp -d -p "$([ -w /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")")
trap 'rm -rf "$scratch"' EXIT
export NIGHTWICK_FUZZ_SCRATCH=$scratch
# An allocation larger than a desktop could grant fails, as it would there, instead of being granted
# by the sanitizer and its shadow memory filled: QSettings takes a list's length from a @Variant
# value in the file and asks for that much at once, which Qt copes with when malloc says no.
export ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=1024
echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' \
    >"$scratch/probe.cpp"
if ! "$compiler" -fsanitize=fuzzer "$scratch/probe.cpp" -o "$scratch/probe" 2>/dev/null; then
    echo "skipped: $compiler cannot link libFuzzer (Debian package libfuzzer-14-dev)"
    exit 77
fi

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" >/dev/null

status=0
for reader in sysfs settings autostart; do
    mkdir "$scratch/$reader"
    log=$build/$reader.log
    rm -f "$build/$reader"-crash-*
    if ! "$build/fuzz_$reader" -seed="$seed" -max_total_time="$seconds" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$build/$reader-" \
        "$scratch/$reader" "$here/corpus/$reader" >"$log" 2>&1; then
        status=1
        tail -n 60 "$log"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$reader: ${runs:-0} runs in $seconds s from $(ls "$here/corpus/$reader" | wc -l) seeds," \
        "$(ls "$scratch/$reader" | wc -l) new inputs, crashes: $(ls "$build" | grep -c "^$reader-crash" || true)"
done
exit $status
