#!/usr/bin/env bash
# The main job: colour bars to a DV device.
#
# Installs what is needed, builds, registers the colour-bar filter library, starts a virtual DV
# deck when no DV device is attached, and runs Tamsel. With a display the window appears and you
# switch it off with its power key; without one Tamsel runs headless for TAMSEL_RUN_SECONDS
# (default 10) and is then stopped with SIGTERM. Finally the deck is stopped, its report shown,
# and one recorded frame is written as a PNG beside the tape.
#
# Environment:
#   TAMSEL_RUN_SECONDS  run this long, then stop Tamsel (also with a display)
#   TAMSEL_TAPE         tape file of the virtual deck (default: tape.dv in the repository)
#   TAMSEL_BUILD_DIR    use this existing build and skip installing and building
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

say() { printf 'run.sh: %s\n' "$*"; }
fail() {
    printf 'run.sh: error: %s\n' "$*" >&2
    exit 1
}

# ---- build -------------------------------------------------------------------------------------
if [ -n "${TAMSEL_BUILD_DIR:-}" ]; then
    build="$(cd "$TAMSEL_BUILD_DIR" && pwd)" || fail "no build directory $TAMSEL_BUILD_DIR"
else
    say "installing the Debian packages the build needs"
    bash scripts/install-deps.sh || fail "installing the packages failed (see above)"
    say "building (build/)"
    cmake --preset default >/dev/null || fail "configuring the build failed"
    cmake --build --preset default -j "$(nproc)" || fail "the build failed (see above)"
    build="$root/build"
fi
for tool in Tamsel regsvr dvdeck graphinfo tamsel.ax dvfilters.so; do
    [ -e "$build/$tool" ] || fail "$build/$tool is missing: the build is incomplete"
done

tape="${TAMSEL_TAPE:-$root/tape.dv}"
mkdir -p "$(dirname "$tape")" || fail "cannot make the tape's folder $(dirname "$tape")"
tape="$(cd "$(dirname "$tape")" && pwd)/$(basename "$tape")"
picture="${tape%.*}.png"
run_seconds="${TAMSEL_RUN_SECONDS:-}"

# ---- register the filter library ----------------------------------------------------------------
say "registering $build/tamsel.ax"
"$build/regsvr" "$build/tamsel.ax" || fail "registering tamsel.ax failed (regsvr status $?)"

# ---- the DV device -----------------------------------------------------------------------------
device_listed() {
    "$build/graphinfo" 2>/dev/null | sed -n '/^Video input devices:/,$p' |
        grep -q 'Microsoft DV Camera and VCR'
}

deck_pid=""
deck_log=""
stop_deck() {
    if [ -n "$deck_pid" ] && kill -0 "$deck_pid" 2>/dev/null; then
        kill -TERM "$deck_pid" 2>/dev/null || true
        wait "$deck_pid" 2>/dev/null || true
    fi
    deck_pid=""
}
cleanup() {
    stop_deck
    [ -n "$deck_log" ] && rm -f "$deck_log"
    return 0
}
trap cleanup EXIT

if device_listed; then
    say "a DV device is attached: the bars go to it (nothing is recorded here)"
else
    say "no DV device attached: starting the virtual deck, recording to $tape"
    rm -f "$tape" "$picture"
    deck_log="$(mktemp)"
    "$build/dvdeck" --tape "$tape" >"$deck_log" 2>&1 &
    deck_pid=$!
    for _ in $(seq 1 100); do
        device_listed && break
        kill -0 "$deck_pid" 2>/dev/null || break
        sleep 0.1
    done
    if ! device_listed; then
        cat "$deck_log" >&2
        fail "the virtual deck did not come up"
    fi
fi

# ---- Tamsel ------------------------------------------------------------------------------------
tamsel_status=0
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    export QT_QPA_PLATFORM=offscreen
    run_seconds="${run_seconds:-10}"
fi
if [ -n "$run_seconds" ]; then
    say "running Tamsel for $run_seconds seconds (${QT_QPA_PLATFORM:-on the display})"
    "$build/Tamsel" &
    tamsel_pid=$!
    # Tamsel ends early only when the graph could not be built.
    for _ in $(seq 1 $((run_seconds * 10))); do
        kill -0 "$tamsel_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -TERM "$tamsel_pid" 2>/dev/null || true
    wait "$tamsel_pid" || tamsel_status=$?
else
    say "running Tamsel: switch it off with its power key"
    "$build/Tamsel" || tamsel_status=$?
fi

# ---- report ------------------------------------------------------------------------------------
if [ -z "$deck_pid" ] && [ -z "$deck_log" ]; then
    [ "$tamsel_status" -eq 0 ] || fail "Tamsel could not build or run the graph (status $tamsel_status)"
    say "done: the bars were sent to the attached DV device"
    exit 0
fi

stop_deck
say "the virtual deck's report:"
sed 's/^/    /' "$deck_log"
if [ "$tamsel_status" -ne 0 ]; then
    fail "Tamsel could not build or run the graph (status $tamsel_status; its message is above)"
fi
if [ ! -s "$tape" ]; then
    fail "nothing was recorded on $tape"
fi
frames=$(($(stat -c %s "$tape") / 120000))
ffmpeg -nostdin -loglevel error -y -i "$tape" -frames:v 1 "$picture" ||
    fail "ffmpeg could not read a frame from $tape"
say "recorded $frames DV frames (NTSC, 120000 bytes each) on $tape"
say "one recorded frame as a picture: $picture"
