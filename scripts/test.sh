#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test: the whole tree in Release with
# GCC (preset "release", into build-release/) and every test on it, then the library and platform
# tests under AddressSanitizer+UBSan and the threading tests under ThreadSanitizer (Debug), a short
# run of each fuzz target over its corpus, and the builds others make: the whole tree in Release
# with Clang, and BUILD_TESTING=OFF without GoogleTest (scripts/ci-builds.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release
cmake --build --preset release -j "$(nproc)"
ctest --preset release -j "$(nproc)"
bash scripts/ci-sanitizers.sh
bash fuzz/run-short.sh 5
TAMSEL_CI_BUILDS="release-clang no-testing" bash scripts/ci-builds.sh
