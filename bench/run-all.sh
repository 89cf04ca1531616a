#!/bin/sh
# Runs every benchmark of bench/README.md once, one after the other, and prints each one's ratio
# to its same-run baseline at the end, with the load before and after.
#
#   bench/run-all.sh [BUILD_DIR] [FRAMES] [TAPE_SECONDS]
#
# BUILD_DIR defaults to build-bench beside this folder's parent (configure it with
# `cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release`); the benchmarks and what they
# load are built there first. FRAMES (default 900) is the dv chain's and GStreamer's frame count,
# TAPE_SECONDS (default 60) the real-time benchmark's length of tape. GStreamer is measured only
# when gst-launch-1.0 with avenc_dvvideo and avmux_dv is installed.
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-bench}
frames=${2:-900}
seconds=${3:-60}
rounds=3

if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
    echo "run-all: $build is not a configured build directory" >&2
    exit 2
fi
cmake --build "$build" --target dv_chain_bench realtime_bench filter_delivery_bench \
    tamsel dvfilters regsvr dvdeck >/dev/null || { echo "run-all: build failed" >&2; exit 1; }

work=$(mktemp -d /tmp/run-all-XXXXXX)
trap 'rm -rf "$work"' EXIT
status=0
echo "load before: $(uptime)"

echo "== filter_delivery_bench"
if [ -x "$build/filter_delivery_bench" ]; then
    mkdir "$work/state-filter"
    PLATFORM_STATE_DIR="$work/state-filter" "$build/filter_delivery_bench" 2>&1 | tee "$work/filter.out"
    filter=$(tail -n 1 "$work/filter.out")
else
    filter="not built (Google Benchmark, libbenchmark-dev, was not found)"
fi

echo "== dv_chain_bench $frames $rounds"
"$build/dv_chain_bench" "$frames" "$rounds" | tee "$work/chain.out" || status=1
ffmpeg_fps=$(awk '/^ffmpeg command line:/ {print $4}' "$work/chain.out")
off_fps=$(awk '/reuse off:/ && /ratio/ {print $4}' "$work/chain.out")
on_fps=$(awk '/reuse on:/ && /ratio/ {print $4}' "$work/chain.out")

# GStreamer: the same picture, flipped, converted to 4:1:1, encoded and muxed to a DV file, as
# fast as it goes; best of the rounds, like the others.
gst="not installed (gstreamer1.0-tools, gstreamer1.0-libav)"
if command -v gst-launch-1.0 >/dev/null 2>&1 && gst-inspect-1.0 avenc_dvvideo >/dev/null 2>&1 &&
   gst-inspect-1.0 avmux_dv >/dev/null 2>&1 && [ -f "$build/colorbar.dat" ]; then
    echo "== GStreamer, $frames frames, best of $rounds"
    tail -c +55 "$build/colorbar.dat" >"$work/picture.bgr"
    best=0
    for round in $(seq "$rounds"); do
        start=$(date +%s.%N)
        # multifilesrc's byte segments make videoflip complain on every buffer: stderr is noise.
        gst-launch-1.0 -q multifilesrc location="$work/picture.bgr" loop=true num-buffers="$frames" \
            caps="video/x-raw,format=BGR,width=720,height=480,framerate=30000/1001" \
            ! videoflip method=vertical-flip ! videoconvert ! "video/x-raw,format=Y41B" \
            ! avenc_dvvideo ! avmux_dv ! filesink location="$work/gst.dv" 2>/dev/null
        end=$(date +%s.%N)
        made=$(( $(stat -c %s "$work/gst.dv") / 120000 ))
        if [ "$made" -ne "$frames" ]; then
            echo "GStreamer made $made frames, not $frames" >&2
            status=1
            break
        fi
        fps=$(echo "$frames $start $end" | awk '{printf "%.1f", $1 / ($3 - $2)}')
        echo "round $round: GStreamer $fps frames/s"
        best=$(echo "$best $fps" | awk '{print ($2 > $1) ? $2 : $1}')
    done
    gst="$best frames/s; reuse off / GStreamer $(echo "$off_fps $best" | awk '{printf "%.2f", $1 / $2}'),\
 reuse on / GStreamer $(echo "$on_fps $best" | awk '{printf "%.2f", $1 / $2}')"
fi

echo "== realtime_bench $seconds"
"$build/realtime_bench" "$seconds" | tee "$work/realtime.out" || status=1

echo "load after: $(uptime)"
echo
echo "== ratios"
echo "filter delivery:  $filter"
echo "dv chain:         ffmpeg $ffmpeg_fps frames/s; reuse off $off_fps ($(echo "$off_fps $ffmpeg_fps" | awk '{printf "%.2f", $1 / $2}') x ffmpeg, target >= 1.0);\
 reuse on $on_fps ($(echo "$on_fps $ffmpeg_fps" | awk '{printf "%.2f", $1 / $2}') x ffmpeg, target >= 10)"
echo "dv chain, GStreamer: $gst"
echo "realtime:         $(tail -n 1 "$work/realtime.out")"
exit $status
