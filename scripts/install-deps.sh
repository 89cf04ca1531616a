#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the main job need.
#
#   bash scripts/install-deps.sh          everything: the build, the tests, benchmarks, packaging
#   bash scripts/install-deps.sh --run    only what building and running the programs needs
#                                         (the main job, scripts/run.sh)
set -euo pipefail
run_only=false
case "${1:-}" in
  "") ;;
  --run) run_only=true ;;
  *) echo "usage: install-deps.sh [--run]" >&2; exit 2 ;;
esac
# Building and running the programs; ffmpeg turns a recorded frame into a picture.
packages=(
  cmake ninja-build g++ pkg-config
  libsqlite3-dev nlohmann-json3-dev
  libavcodec-dev libavformat-dev libswscale-dev libavutil-dev
  libiec61883-dev libraw1394-dev libavc1394-dev
  qt6-base-dev qt6-translations-l10n fonts-ipafont-gothic
  libpango1.0-dev libcairo2-dev fonts-dejavu-core
  ffmpeg
)
# The tests, the benchmarks, the sanitizer and fuzz builds, the package and its checks; dvcont
# (libavc1394-tools) and plugreport (libiec61883-dev, above) judge the simulated IEEE 1394 units;
# dvgrab (and ffmpeg, above) capture their playback as outside judges; libdv and MediaInfo read
# the tapes as other players do.
$run_only || packages+=(
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 dpkg-dev dpkg-repack desktop-file-utils man-db groff-base mandoc lintian
  clang libclang-rt-14-dev
  libavc1394-tools dvgrab tesseract-ocr
  libdv4-dev mediainfo
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q "${missing[@]}"
fi
