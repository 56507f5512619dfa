#!/usr/bin/env bash
# Fuzzes the JSON value extraction natively (clang, libFuzzer, ASan, UBSan)
# for a bounded time. Not part of `make test`.
#   scripts/fuzz.sh [SECONDS]      (default 60; FUZZ_JOBS=N runs N workers)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
OUT="$ROOT/build-fuzz"
SECONDS_LIMIT="${1:-${FUZZ_SECONDS:-60}}"
CXX="${CXX:-clang++}"
mkdir -p "$OUT/corpus"

have_libfuzzer() {
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
        "$CXX" -x c++ -fsanitize=fuzzer - -o "$OUT/probe" >/dev/null 2>&1
}

if ! command -v "$CXX" >/dev/null; then
    echo "fuzz.sh: $CXX not found (install clang)" >&2
    exit 1
fi
if ! have_libfuzzer; then
    package="libclang-rt-$("$CXX" -dumpversion | cut -d. -f1)-dev"
    if [[ $(id -u) -ne 0 ]]; then
        echo "fuzz.sh: libFuzzer is missing; install it with: sudo apt-get install $package" >&2
        exit 1
    fi
    echo "Installing: $package"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y --no-install-recommends "$package" >/dev/null
    have_libfuzzer || { echo "fuzz.sh: libFuzzer still unusable" >&2; exit 1; }
fi

"$CXX" -std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=undefined -I "$ROOT" \
    "$ROOT/fuzz/json_extract_fuzz.cpp" "$ROOT/update/json_extract.cpp" -o "$OUT/json_extract_fuzz"

# Seeds: the sample answer under both keys (first byte: the key's length).
seed() { { printf "\\x$(printf %02x "${#1}")%s" "$1"; cat "$ROOT/docs/update-service-sample.json"; } >"$OUT/corpus/seed-$1"; }
seed latest_version
seed download_url

cd "$OUT"
exec ./json_extract_fuzz -max_total_time="$SECONDS_LIMIT" -max_len=4096 -print_final_stats=1 \
    ${FUZZ_JOBS:+-jobs="$FUZZ_JOBS" -workers="$FUZZ_JOBS"} corpus
