#!/usr/bin/env bash
# Runs one fuzzer against the build of fuzz/build.sh:
#
#     fuzz/run.sh files|records|strings|bulk [libFuzzer options] [input files]
#
# The seeds are written afresh into build/fuzz/seeds/<harness>; what the
# fuzzer finds new goes to build/fuzz/corpus/<harness>, kept between runs,
# and every finding to build/fuzz/artifacts/<harness>/.  Exits non-zero on a
# finding.  With input files, runs only those.
set -euo pipefail
cd "$(dirname "$0")/.."

harness=${1:?usage: fuzz/run.sh files|records|strings|bulk [libFuzzer options]}
shift
python=${PYTHON:-python}
out=build/fuzz
case $harness in
    files) max_len=8192 ;;
    records) max_len=4096 ;;
    strings) max_len=512 ;;
    bulk) max_len=16384 ;;
    *) echo "run.sh: no fuzzer named $harness" >&2; exit 2 ;;
esac

runtime=$out/runtime/asan_with_fuzzer.so
if [ ! -f "$runtime" ]; then
    echo "run.sh: $runtime is missing; run fuzz/build.sh first" >&2
    exit 2
fi
# The interpreter is not instrumented: the runtime is preloaded, and
# PYTHONMALLOC=malloc lets ASan see every Python object allocation.
export PYTHONPATH=$PWD/$out PYTHONMALLOC=malloc LD_PRELOAD=$PWD/$runtime
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
# Fuzzing an uninstrumented module would only cover the Python code.
module=$("$python" -c 'import quorinreader; print(quorinreader.__file__)')
case $module in
    "$PWD/$out/"*) ;;
    *) echo "run.sh: imported $module, not the build in $out" >&2; exit 2 ;;
esac

# Given input files (a crash artifact), libFuzzer runs just those, once.
inputs=("$out/corpus/$harness" "$out/seeds/$harness")
for arg; do
    if [ -f "$arg" ]; then
        inputs=()
    fi
done
"$python" fuzz/make_corpus.py "$out/seeds" "$harness"
mkdir -p "$out/corpus/$harness" "$out/artifacts/$harness"
exec "$python" "fuzz/fuzz_$harness.py" -max_len="$max_len" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/$harness/" "$@" "${inputs[@]}"
