#!/usr/bin/env bash
# Builds the fuzzers with clang and runs each over the corpus kept here, from a fixed seed unless
# given one (0: random); new finds are thrown away, crashes kept in the build folder. 77: no clang.
#   run.sh BUILD_FOLDER [SECONDS_EACH] [SEED]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd) build=$1 seconds=${2:-20} seed=${3:-1}
export TMPDIR=$(mktemp -d -p /dev/shm) # the fuzzers' files, in memory: the disk sets no pace
trap 'rm -rf "$TMPDIR"' EXIT
# QSettings asks for a @Variant list's length from the file at once: fail it as a desktop would.
export ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=1024
echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, long) { return 0; }' >"$TMPDIR/probe.cpp"
clang++ -fsanitize=fuzzer "$TMPDIR/probe.cpp" -o "$TMPDIR/probe" 2>/dev/null ||
    { echo "SKIP: clang++ cannot link libFuzzer (Debian packages clang, libfuzzer-14-dev)"; exit 77; }
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER_LAUNCHER="$(command -v ccache || true)" >/dev/null
cmake --build "$build" >/dev/null
status=0
for reader in sysfs settings autostart; do
    mkdir "$TMPDIR/$reader"
    "$build/fuzz_$reader" -seed="$seed" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/$reader-" "$TMPDIR/$reader" "$here/corpus/$reader" \
        >"$build/$reader.log" 2>&1 || { status=1; tail -n 60 "$build/$reader.log"; }
    echo "$reader: $(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$reader.log") runs"
done
exit $status
