#!/usr/bin/env bash
# Builds the module for fuzzing into build/fuzz: compiled by clang with
# libFuzzer's coverage counters (-fsanitize=fuzzer-no-link), ASan and UBSan,
# together with the runtime that fuzz/run.sh preloads.
#
# The runtime is clang's own libFuzzer and ASan (with its UBSan handlers and
# C++ parts) linked into one shared object, as atheris's installer does when
# it builds from source: the prebuilt atheris wheels ship none, and their
# built-in libFuzzer would not get the module's counters, because a preloaded
# plain sanitizer runtime defines the coverage callbacks first, as weak stubs.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python}
cxx=${CXX:-clang++}
out=build/fuzz
# Flags of one's own for the instrumented build, if any.
extra_flags=${QUORIN_FUZZ_CXXFLAGS-}

generator=()
if ninja --version >/dev/null 2>&1; then
    generator=(-G Ninja)
fi
cmake -S . -B "$out" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug -DQUORIN_FUZZ=ON \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$extra_flags" \
    -DPython_EXECUTABLE="$(command -v "$python")"
cmake --build "$out"
# The package: the instrumented extension beside the pure-Python submodules.
for f in quorinreader/*; do
    ln -sf "$PWD/$f" "$out/quorinreader/"
done

arch=$(uname -m)
runtime() {
    local path
    path=$("$cxx" -print-file-name="libclang_rt.$1-$arch.a")
    if [ ! -f "$path" ]; then
        echo "build.sh: $cxx has no libclang_rt.$1-$arch.a (Debian: libclang-rt-<version>-dev)" >&2
        exit 1
    fi
    echo "$path"
}
fuzzer=$(runtime fuzzer_no_main)
asan=$(runtime asan)
asan_cxx=$(runtime asan_cxx)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# asan_preinit puts ASan's start-up in .preinit_array, which a shared object
# may not have; ASan starts from its constructor instead.
cp "$asan" "$tmp/asan.a"
ar d "$tmp/asan.a" asan_preinit.cpp.o
mkdir -p "$out/runtime"
"$cxx" -shared -o "$out/runtime/asan_with_fuzzer.so" \
    -Wl,--whole-archive "$fuzzer" "$tmp/asan.a" "$asan_cxx" -Wl,--no-whole-archive -lpthread -ldl
