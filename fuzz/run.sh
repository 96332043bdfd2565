#!/bin/bash
# Builds the version fuzzer with clang and runs it for a fixed time.
#   fuzz/run.sh [SECONDS]        (default 60; build directory: $TXL_FUZZ_BUILD or build-fuzz)
# Seeds: the build's version block, ELF files holding it (objcopy) and PE files that the
# MinGW resource compiler and linker make, when installed. Inputs in fuzz/regressions/
# (findings kept as cases) run first. Exits non-zero on any finding; the input is left in
# <build>/fuzz/artifacts/.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TXL_FUZZ_BUILD:-$root/build-fuzz}

mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja -DTXL_BUILD_FUZZERS=ON -DTXL_BUILD_TESTS=OFF \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; exit 1; }
cmake --build "$build" --target fuzz_version -j2

work=$build/fuzz
fuzzer=$work/fuzz_version
seeds=$work/seeds
mkdir -p "$seeds" "$work/corpus" "$work/artifacts"

block=$work/fuzz_version_version/TXLoader.verblock
rc=$work/fuzz_version_version/TXLoader.rc
cp "$block" "$seeds/block"
for format in elf64-x86-64 elf32-big; do
    objcopy -I binary -O "$format" --rename-section .data=.txl_version "$block" "$seeds/$format.o"
done
if command -v x86_64-w64-mingw32-windres >/dev/null && command -v x86_64-w64-mingw32-ld >/dev/null; then
    printf '1 RCDATA\nBEGIN\n"data"\nEND\n' >"$work/norsrc.rc"
    for name in TXLoader norsrc; do
        src=$rc
        [ "$name" = norsrc ] && src=$work/norsrc.rc
        x86_64-w64-mingw32-windres --preprocessor=cpp -O coff -i "$src" -o "$work/$name.o"
        x86_64-w64-mingw32-ld -o "$seeds/$name.exe" "$work/$name.o"
    done
else
    echo "binutils-mingw-w64-x86-64 missing: no PE seeds" >&2
fi

regressions=$root/fuzz/regressions
if compgen -G "$regressions/*" >/dev/null; then
    "$fuzzer" "$regressions"/*
fi
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" "$seeds"
