#!/usr/bin/env bash
# Builds and runs the library and platform tests under AddressSanitizer+UBSan (asan preset), then
# the threading tests under ThreadSanitizer (tsan preset).
#
# Only the test programs that matter here are built, not the whole tree (no app, no benchmarks),
# and with -O1 and light debug info: that keeps both sanitizer passes to a few minutes on two cores.
# The test programs that exist are taken from the build's target list, so a folder that is not
# there yet is skipped rather than failing the configure or the build.
#
# Environment:
#   TAMSEL_ASAN_DIR, TAMSEL_TSAN_DIR   build directories (default: the presets' build-asan, build-tsan)
#   TAMSEL_SAN_JOBS                    build and test parallelism (default: nproc)
#   TAMSEL_SAN_SKIP                    "asan" or "tsan" to leave that pass out
set -euo pipefail
cd "$(dirname "$0")/.."

asan_dir=${TAMSEL_ASAN_DIR:-build-asan}
tsan_dir=${TAMSEL_TSAN_DIR:-build-tsan}
jobs=${TAMSEL_SAN_JOBS:-$(nproc)}
skip=${TAMSEL_SAN_SKIP:-}

# Debug builds at -O1: much faster tests than -O0, and the sanitizers still see every access.
light_flags=(-DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1"
             -DCMAKE_C_FLAGS_DEBUG="-O1 -g1"
             -DCMAKE_BUILD_TYPE=Debug)

stamp() { date +%s; }
elapsed() { echo "$(( $(stamp) - $1 ))s"; }

# Prints those of the named targets that the configured build in $1 knows. (The presets use Ninja;
# its target list names a test program by its discovery file, so ask Ninja about each name.)
existing_targets() {
  local dir=$1; shift
  for t in "$@"; do
    if ninja -C "$dir" -t query "$t" >/dev/null 2>&1; then echo "$t"; fi
  done
}

# Prints a ctest -R expression matching every test of the given (built) test programs: their
# GoogleTest suite names, with or without a parameter prefix.
suite_regex() {
  local dir=$1; shift
  local suites=()
  local listing
  for t in "$@"; do
    listing=$("$dir/$t" --gtest_list_tests) || { echo "$t: cannot list its tests" >&2; return 1; }
    while IFS= read -r s; do suites+=("$s"); done < <(
      sed -n 's/^\([A-Za-z0-9_/]*\)\.$/\1/p' <<<"$listing" | sed 's|^.*/||' )
  done
  [ ${#suites[@]} -gt 0 ] || { echo "no test suites found" >&2; return 1; }
  local IFS='|'
  echo "^([A-Za-z0-9_]+/)?(${suites[*]})\\."
}

run_pass() {
  local name=$1 dir=$2 regex_filter=$3; shift 3
  local t0
  echo "== $name: configure ($dir)"
  t0=$(stamp)
  mkdir -p "$dir"
  cmake --preset "$name" -B "$dir" "${light_flags[@]}" >"$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log"; return 1; }
  echo "   configure: $(elapsed "$t0")"

  local targets
  mapfile -t targets < <(existing_targets "$dir" "$@")
  if [ ${#targets[@]} -eq 0 ]; then
    echo "$name: none of the test programs exist" >&2
    return 1
  fi
  echo "== $name: build ${targets[*]}"
  t0=$(stamp)
  cmake --build "$dir" -j "$jobs" --target "${targets[@]}" || return 1
  echo "   build: $(elapsed "$t0")"

  local regex=$regex_filter
  if [ -z "$regex" ]; then regex=$(suite_regex "$dir" "${targets[@]}") || return 1; fi
  # The COM runtime unloads dvfilters.so when it is no longer used, and with it FFmpeg and the
  # 1394 libraries it pulled in. Some of those keep allocations in their own globals for the
  # life of the process; once unmapped, LeakSanitizer can no longer see the references and
  # reports them (as "<unknown module>"). Loading those libraries up front keeps them mapped
  # for the whole run, so only leaks of our own are reported. They are named without a folder,
  # so a program that sim1394 runs on its simulated bus still gets the test libraw1394 from the
  # folder sim1394 puts first in LD_LIBRARY_PATH.
  local preload=""
  if [ "$name" = asan ] && [ -f "$dir/dvfilters.so" ]; then
    preload=$(readelf -d "$dir/dvfilters.so" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' |
      grep -vE '^(libasan|libubsan|libplatform|libstdc\+\+|libm|libgcc_s|libc)\.' | tr '\n' ' ')
  fi
  echo "== $name: ctest -R '$regex'"
  [ -z "$preload" ] || echo "   (kept loaded: $preload)"
  t0=$(stamp)
  LD_PRELOAD="$preload" ctest --test-dir "$dir" -j "$jobs" --output-on-failure --no-tests=error \
    -R "$regex" </dev/null || return 1
  echo "   tests: $(elapsed "$t0")"
}

status=0
all_start=$(stamp)

if [ "$skip" != asan ]; then
  # verify_asan_link_order=0: the libraries preloaded below come before the runtime.
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:verify_asan_link_order=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp"
  run_pass asan "$asan_dir" "" \
    framework_tests \
    color_bar_stream_test state_cycles_test \
    class_factory_test registration_mapper_test delete_key_tree_test registration_process_test \
    registration_tools_test library_file_test \
    platform_kernel_tests platform_com_tests platform_registry_tests \
    platform_streaming_tests streaming_tests \
    dv_kept_picture_test dv_encoder_test dv_deck_recorder_test platform_support_tests \
    dv_muxer_test dv_tone_test dv_dif_test dv_bars_test stripe_tape_check stripe_picture_patches \
    dv_leader_test dv_segment_cache_test stripe_leader_layout \
    dv_device_filter_test dv_ieee1394_frame_queue_test dv_ieee1394_deck_control_test \
    dv_ieee1394_transport_test dv_ieee1394_sim_bus_test || status=1
  unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
fi

if [ "$skip" != tsan ]; then
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp"
  # The threading tests: worker thread and push stream, kernel events and threads, the graph
  # manager, the allocator, the encoder's shared conversion and the diagnostics' line writing;
  # the tone's worker and the muxer's audio queue between two streaming threads; the leader's worker;
  # and on the simulated IEEE 1394 bus the transport (its feeder, reset and unplug handling
  # beside the sender) and the test libraw1394's dispatch with nested transactions; the device
  # filter's interrupt from another thread while a wait of the device runs, the frame queue
  # between the sender and the feeder, and deck control's waits ended by an interrupt. The programs
  # sim1394 runs are built with the same flags, so a race in them fails the test as well.
  run_pass tsan "$tsan_dir" \
    '^([A-Za-z0-9_]+/)?(WorkerThread|PushStream|EventTest|ThreadTest|CriticalSectionTest|GraphTest|AllocatorTest|EncoderCodec|LogTest|Ieee1394TransportOnBus|SimulatedIeee1394Bus|ReferenceTone|ReferenceLeader|MuxerAudio|DeviceFilterTest|Ieee1394FrameQueue|AvcDeckControlOnBus)\.' \
    framework_tests platform_kernel_tests platform_streaming_tests streaming_tests dv_encoder_test \
    dv_tone_test dv_leader_test dv_muxer_test dv_device_filter_test dv_ieee1394_frame_queue_test \
    dv_ieee1394_deck_control_test \
    platform_support_tests dv_ieee1394_transport_test dv_ieee1394_sim_bus_test || status=1
  unset TSAN_OPTIONS
fi

echo "== sanitizers: $(elapsed "$all_start") in all, status $status"
exit $status
