#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test: the normal build, then the
# library and platform tests under AddressSanitizer+UBSan and the threading tests under
# ThreadSanitizer, then a short run of each fuzz target over its corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default
cmake --build --preset default -j "$(nproc)"
ctest --preset default -j "$(nproc)"
bash scripts/ci-sanitizers.sh
bash fuzz/run-short.sh 5
