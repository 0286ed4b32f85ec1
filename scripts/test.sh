#!/usr/bin/env bash
# Installs the dependencies, checks the formatting, builds, and runs the whole test suite: the unit
# and black-box tests of the optimised build, then the unit tests of the
# AddressSanitizer + UndefinedBehaviorSanitizer build, the unit tests of the
# ThreadSanitizer build, and each fuzz target for a few seconds on its seed
# corpus (BRINDLEX_FUZZ_SECONDS, default 10).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/check_format.sh

jobs=$(nproc 2>/dev/null || echo 2)

cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"

cmake --preset fuzz -DBRINDLEX_FUZZ_SECONDS="${BRINDLEX_FUZZ_SECONDS:-10}" >/dev/null
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz -j "$jobs"
