#!/usr/bin/env bash
# The builds others make of this tree, each checked to build with warnings as errors:
#   release-gcc     Release, the whole tree (tests and benchmarks too), GCC
#   release-clang   Release, the whole tree, Clang
#   no-testing      BUILD_TESTING=OFF (MinSizeRel, GCC) on a machine without GoogleTest and Google
#                   Benchmark: their headers and CMake packages are hidden in a private mount
#                   namespace, so any use of them outside the tests fails the build
# The normal test build (RelWithDebInfo) and the sanitizer builds (Debug) are made by
# scripts/test.sh; together every build type is built.
#
# Environment:
#   TAMSEL_CI_BUILDS   the builds to make, space-separated (default: all three)
#   TAMSEL_CI_JOBS     build parallelism (default: nproc)
set -euo pipefail
cd "$(dirname "$0")/.."

builds=${TAMSEL_CI_BUILDS:-release-gcc release-clang no-testing}
jobs=${TAMSEL_CI_JOBS:-$(nproc)}

stamp() { date +%s; }

configure_and_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DTAMSEL_WARNINGS_AS_ERRORS=ON "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; echo "ci-builds: configuring $dir failed" >&2; return 1; }
  cmake --build "$dir" -j "$jobs" || { echo "ci-builds: building $dir failed" >&2; return 1; }
}

# Runs the rest of the command line with GoogleTest's and Google Benchmark's files out of sight.
without_test_libraries() {
  command -v unshare >/dev/null || { echo "ci-builds: unshare is missing (util-linux)" >&2; return 1; }
  local hidden=(/usr/include/gtest /usr/include/gmock /usr/include/benchmark /usr/src/googletest)
  hidden+=(/usr/lib/*/cmake/GTest /usr/lib/*/cmake/benchmark)
  unshare -m bash -c '
    set -e
    for d in "${@:2:$1}"; do [ -d "$d" ] && mount -t tmpfs -o ro,mode=0755 tamsel-hidden "$d"; done
    [ ! -e /usr/include/gtest/gtest.h ] || { echo "ci-builds: could not hide GoogleTest" >&2; exit 1; }
    shift $(($1 + 1))
    "$@"' bash "${#hidden[@]}" "${hidden[@]}" "$@"
}

status=0
for build in $builds; do
  t0=$(stamp)
  echo "== ci-builds: $build"
  case $build in
    release-gcc)
      CC=gcc CXX=g++ configure_and_build build-release-gcc -DCMAKE_BUILD_TYPE=Release || status=1 ;;
    release-clang)
      CC=clang CXX=clang++ configure_and_build build-release-clang -DCMAKE_BUILD_TYPE=Release ||
        status=1 ;;
    no-testing)
      export -f configure_and_build
      export jobs
      without_test_libraries bash -c 'CC=gcc CXX=g++ configure_and_build build-no-testing \
          -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF' || status=1 ;;
    *) echo "ci-builds: no build called $build" >&2; status=1 ;;
  esac
  echo "   $build: $(( $(stamp) - t0 ))s"
done
exit $status
