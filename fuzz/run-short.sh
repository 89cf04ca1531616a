#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build directory build-fuzz, or TAMSEL_FUZZ_DIR) and runs
# each one for a short while from its seed corpus: a smoke run for CI. Longer runs pass their own
# time, e.g.  fuzz/run-short.sh 600   (seconds per target).
#
# The crash inputs kept in tests/fuzz-regressions/<target>/ are replayed first; each must pass.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-5}
dir=${TAMSEL_FUZZ_DIR:-build-fuzz}
jobs=${TAMSEL_FUZZ_JOBS:-$(nproc)}
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer"

if [ ! -f "$dir/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DTAMSEL_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
fi

targets=(fuzz_pin_negotiation fuzz_registry)
if ninja -C "$dir" -t query fuzz_deck_frame >/dev/null 2>&1; then targets+=(fuzz_deck_frame); fi
cmake --build "$dir" -j "$jobs" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for t in "${targets[@]}"; do
  name=${t#fuzz_}
  seeds=fuzz/corpus/$name
  regressions=tests/fuzz-regressions/$name
  work=$dir/fuzz-corpus/$name
  mkdir -p "$work"
  # A DIF frame is 120000 bytes; the other targets need far less.
  max_len=4096
  [ "$name" = deck_frame ] && max_len=130000
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    echo "== $t: replaying $regressions"
    "$dir/$t" "$regressions"/* >"$work.replay.log" 2>&1 ||
      { cat "$work.replay.log"; echo "$t: a regression input fails" >&2; status=1; continue; }
  fi
  echo "== $t: ${seconds}s"
  corpora=("$work")
  [ -d "$seeds" ] && corpora+=("$seeds")
  if ! "$dir/$t" -max_total_time="$seconds" -max_len="$max_len" -timeout=25 -rss_limit_mb=4096 \
       -print_final_stats=1 -artifact_prefix="$dir/fuzz-artifact-$name-" \
       "${corpora[@]}" >"$work.log" 2>&1; then
    tail -60 "$work.log"
    echo "$t: FAILED (artifacts: $dir/fuzz-artifact-$name-*)" >&2
    status=1
    continue
  fi
  grep -E 'stat::number_of_executed_units|stat::new_units_added' "$work.log" | tr '\n' ' '
  echo
done
exit $status
