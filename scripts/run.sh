#!/usr/bin/env bash
# The main job: colour bars to a DV device.
#
# Installs what is needed, builds, registers the colour-bar filter library, starts a virtual DV
# deck when no DV device is attached, and runs Tamsel. With a display the window appears and you
# switch it off with its power key; without one Tamsel runs headless for TAMSEL_RUN_SECONDS
# (default 10) and is then stopped with SIGTERM. Finally the deck is stopped, its report shown,
# and one recorded frame is written as a PNG beside the tape.
#
# Tamsel ends with status 1 when the graph could not be built, when the DV output could not start,
# or when it broke off while streaming (device gone, tape full); its message box says which, and
# the same text is on its stderr. The script then fails too and never reports the bars as sent.
#
# Environment:
#   TAMSEL_RUN_SECONDS  run this long (whole seconds, 3 or more), then stop Tamsel (also with a
#                       display)
#   TAMSEL_TAPE         tape file of the virtual deck (default: tape.dv in the repository)
#   TAMSEL_BUILD_DIR    use this existing build and skip installing and building
# Relative paths in them are taken from the folder the script is started in.
set -euo pipefail

say() { printf 'run.sh: %s\n' "$*"; }
fail() {
    printf 'run.sh: error: %s\n' "$*" >&2
    exit 1
}

# Before moving to the repository: relative paths are the caller's.
if [ -n "${TAMSEL_BUILD_DIR:-}" ]; then
    build="$(cd "$TAMSEL_BUILD_DIR" 2>/dev/null && pwd)" || fail "no build directory $TAMSEL_BUILD_DIR"
fi
tape="${TAMSEL_TAPE:-}"
if [ -n "$tape" ]; then
    mkdir -p "$(dirname "$tape")" || fail "cannot make the tape's folder $(dirname "$tape")"
    tape="$(cd "$(dirname "$tape")" && pwd)/$(basename "$tape")"
fi
run_seconds="${TAMSEL_RUN_SECONDS:-}"
# Tamsel starts its output 2 seconds after it opens; a shorter run would stop it before anything
# was sent, and that would still end with status 0.
if [ -n "$run_seconds" ] && ! [[ "$run_seconds" =~ ^[1-9][0-9]*$ && "$run_seconds" -ge 3 ]]; then
    fail "TAMSEL_RUN_SECONDS must be a whole number of seconds, 3 or more (not '$run_seconds')"
fi

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

# ---- build -------------------------------------------------------------------------------------
if [ -z "${TAMSEL_BUILD_DIR:-}" ]; then
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

tape="${tape:-$root/tape.dv}"
picture="${tape%.*}.png"

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
    # Tamsel ends before the time is up only when its window was closed: the power key, or its
    # failure message dismissed. Headless nobody dismisses that message; the SIGTERM below does,
    # and Tamsel still ends with status 1.
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
# Why Tamsel failed, for the error line; its own message (box and stderr) is above.
tamsel_failure() {
    if [ "$1" -eq 1 ]; then
        echo "Tamsel failed (status 1): the graph could not be built, the DV output could not start," \
            "or it broke off while streaming; Tamsel's message is above"
    else
        echo "Tamsel ended abnormally (status $1)"
    fi
}

if [ -z "$deck_pid" ] && [ -z "$deck_log" ]; then
    [ "$tamsel_status" -eq 0 ] || fail "$(tamsel_failure "$tamsel_status")"
    say "done: the bars were sent to the attached DV device"
    exit 0
fi

stop_deck
say "the virtual deck's report:"
sed 's/^/    /' "$deck_log"
if [ "$tamsel_status" -ne 0 ]; then
    fail "$(tamsel_failure "$tamsel_status")"
fi
if [ ! -s "$tape" ]; then
    fail "nothing was recorded on $tape"
fi
frames=$(($(stat -c %s "$tape") / 120000))
ffmpeg -nostdin -loglevel error -y -i "$tape" -frames:v 1 "$picture" ||
    fail "ffmpeg could not read a frame from $tape"
say "recorded $frames DV frames (NTSC, 120000 bytes each) on $tape"
say "one recorded frame as a picture: $picture"
