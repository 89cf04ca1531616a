#!/usr/bin/env bash
# The main job: colour bars to a DV device.
#
# Installs what the programs need (not the test tools), builds only what is installed (preset
# "run": Release, no tests, into build-run/), registers the colour-bar filter library, starts a virtual DV
# deck when no DV device is attached, and runs Tamsel. With a display the window appears and you
# switch it off with its power key; without one Tamsel runs headless for TAMSEL_RUN_SECONDS
# (default 10) and is then stopped with SIGTERM. Finally the deck is stopped, its report shown,
# and one recorded frame is written as a PNG beside the tape.
#
# Tamsel ends with status 1 when the graph could not be built, when the DV output could not start,
# or when it broke off while streaming (device gone, tape full, a deck that stopped taking frames,
# also just before the stop); its message box says which, and the same text is on its stderr. The
# script then fails too and never reports the bars as sent. So it does when the virtual deck
# fails (its tape could not be written, or it stopped before its tape writer had written every
# frame): the error line carries the deck's own words.
#
# The picture is named after the tape's own file name, in the tape's folder: tape.dv -> tape.png,
# tape -> tape.png, bars.png -> bars.png.png. An existing file is never removed or replaced: when
# that name is taken the picture gets the first free one of NAME-2.png, NAME-3.png, ... and the
# script says where it went. (An existing file at the tape's path is replaced by the recording.)
#
# The colour bars come from colorbar.dat beside tamsel.ax. When it is missing, not a regular
# file, unreadable or shorter than its 54-byte header and 720 x 480 x 3 bytes of picture, the
# filter sends a uniform grey picture instead; the script warns before the run, goes on, and its
# summary names that picture rather than the bars.
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
    say "installing the Debian packages the programs need"
    bash scripts/install-deps.sh --run || fail "installing the packages failed (see above)"
    say "building the programs (build-run/)"
    cmake --preset run >/dev/null || fail "configuring the build failed"
    cmake --build --preset run -j "$(nproc)" || fail "the build failed (see above)"
    build="$root/build-run"
fi
for tool in Tamsel regsvr dvdeck graphinfo tamsel.ax dvfilters.so; do
    [ -e "$build/$tool" ] || fail "$build/$tool is missing: the build is incomplete"
done

tape="${tape:-$root/tape.dv}"

# ---- the picture file behind the bars ------------------------------------------------------------
colorbar="$build/colorbar.dat"
colorbar_bytes=$((54 + 720 * 480 * 3))
colorbar_problem=""
if [ ! -e "$colorbar" ]; then
    colorbar_problem="it is missing"
elif [ ! -f "$colorbar" ]; then
    colorbar_problem="it is not a regular file"
elif ! head -c 1 "$colorbar" >/dev/null 2>&1; then
    colorbar_problem="it cannot be read"
elif [ "$(stat -L -c %s "$colorbar")" -lt "$colorbar_bytes" ]; then
    colorbar_problem="it holds $(stat -L -c %s "$colorbar") bytes, not the $colorbar_bytes of a whole picture"
fi
sent="colour bars"
if [ -n "$colorbar_problem" ]; then
    printf 'run.sh: warning: %s: %s; the filter sends its uniform fallback picture, not colour bars\n' \
        "$colorbar" "$colorbar_problem" >&2
    sent="the uniform fallback picture (no colour bars: $colorbar $colorbar_problem)"
fi

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
deck_errors=""
deck_status=0
picture_temp=""
# Stops the deck and sets deck_status to its exit status, also when it ended on its own. A deck
# whose first SIGTERM began the final flush onto a hung disk takes a second one; the waits are
# bounded, and a deck that still does not end is killed.
stop_deck() {
    [ -n "$deck_pid" ] || return 0
    local round
    for round in TERM TERM KILL; do
        kill -0 "$deck_pid" 2>/dev/null || break
        kill -"$round" "$deck_pid" 2>/dev/null || true
        for _ in $(seq 1 100); do
            kill -0 "$deck_pid" 2>/dev/null || break
            sleep 0.1
        done
    done
    deck_status=0
    wait "$deck_pid" 2>/dev/null || deck_status=$?
    deck_pid=""
}
cleanup() {
    stop_deck
    [ -n "$deck_log" ] && rm -f "$deck_log"
    [ -n "$deck_errors" ] && rm -f "$deck_errors"
    [ -n "$picture_temp" ] && rm -f "$picture_temp"
    return 0
}
trap cleanup EXIT

if device_listed; then
    say "a DV device is attached: the bars go to it (nothing is recorded here)"
else
    say "no DV device attached: starting the virtual deck, recording to $tape"
    rm -f "$tape"
    deck_log="$(mktemp)"
    deck_errors="$(mktemp)"
    "$build/dvdeck" --tape "$tape" >"$deck_log" 2>"$deck_errors" &
    deck_pid=$!
    for _ in $(seq 1 100); do
        device_listed && break
        kill -0 "$deck_pid" 2>/dev/null || break
        sleep 0.1
    done
    if ! device_listed; then
        cat "$deck_log" "$deck_errors" >&2
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
    say "done: $sent sent to the attached DV device"
    exit 0
fi

stop_deck
say "the virtual deck's report:"
sed 's/^/    /' "$deck_log" "$deck_errors"
deck_failure=""
if [ "$deck_status" -ne 0 ]; then
    # The deck's own words: its lines on stderr, joined.
    words="$(sed 's/^dvdeck: //' "$deck_errors" | paste -sd ';' - | sed 's/;/; /g')"
    deck_failure="the virtual deck failed (status $deck_status): ${words:-it said nothing}"
fi
if [ "$tamsel_status" -ne 0 ]; then
    [ -z "$deck_failure" ] || printf 'run.sh: error: %s\n' "$deck_failure" >&2
    fail "$(tamsel_failure "$tamsel_status")"
fi
[ -z "$deck_failure" ] || fail "$deck_failure; $tape may lack the last frames"
if [ ! -s "$tape" ]; then
    fail "nothing was recorded on $tape"
fi
frames=$(($(stat -c %s "$tape") / 120000))

# The picture: beside the tape, named after it, never over a file that is already there.
tape_dir="$(dirname "$tape")"
tape_name="$(basename "$tape")"
stem="${tape_name%.*}"
[ -n "$stem" ] && [ "$stem" != "$tape_name" ] || stem="$tape_name"
[ "$stem.png" != "$tape_name" ] || stem="$tape_name"
picture_temp="$(mktemp --suffix=.png "$tape_dir/.run-sh-picture-XXXXXX")" ||
    fail "cannot write a picture in $tape_dir"
ffmpeg -nostdin -loglevel error -y -i "$tape" -frames:v 1 "$picture_temp" ||
    fail "ffmpeg could not read a frame from $tape"
picture=""
taken=""
for n in "" $(seq 2 99); do
    candidate="$tape_dir/$stem${n:+-$n}.png"
    # -n refuses to replace: a name taken meanwhile stays as it is.
    if [ ! -e "$candidate" ] && [ ! -L "$candidate" ] && mv -n -T "$picture_temp" "$candidate" 2>/dev/null &&
        [ ! -e "$picture_temp" ]; then
        picture="$candidate"
        break
    fi
    taken="${taken:+$taken, }$(basename "$candidate")"
done
[ -n "$picture" ] || fail "no free name for the picture beside $tape ($taken are taken)"
picture_temp=""
say "recorded $frames DV frames (NTSC, 120000 bytes each) of $sent on $tape"
say "one recorded frame as a picture: $picture${taken:+ ($taken already existed and was left alone)}"
