#!/usr/bin/env bash
# Makes the Debian package tamsel_VERSION_ARCH.deb with CPack.
#
#   bash scripts/package.sh [OUTPUT_DIR]
#
# Installs the Debian packages the build needs, builds what the package holds into build-package/
# the way Debian builds a package (dpkg-buildflags' compiler and linker flags, no tests) and runs
# `cpack -G DEB` there. The package lands in OUTPUT_DIR (default: the build directory); its path is
# the last line printed. Install it with `sudo apt install ./tamsel_*.deb` (or dpkg -i).
#
# Environment:
#   TAMSEL_BUILD_DIR         use this existing build and skip installing and building
#   DEBFULLNAME, DEBEMAIL    the package's maintainer (default: the build's TAMSEL_MAINTAINER)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

fail() {
    printf 'package.sh: error: %s\n' "$*" >&2
    exit 1
}

if [ -n "${TAMSEL_BUILD_DIR:-}" ]; then
    build="$(cd "$TAMSEL_BUILD_DIR" && pwd)" || fail "no build directory $TAMSEL_BUILD_DIR"
else
    bash scripts/install-deps.sh >&2 || fail "installing the packages failed (see above)"
    build="$root/build-package"
    # As debhelper builds a CMake package: the flags from dpkg-buildflags (CMake does not read
    # CPPFLAGS, so they go with the compiler flags) and a build type that adds none of its own.
    eval "$(dpkg-buildflags --export=sh)"
    export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS" LDFLAGS
    maintainer=()
    if [ -n "${DEBEMAIL:-}" ]; then
        maintainer=(-DTAMSEL_MAINTAINER="${DEBFULLNAME:-Tamsel developers} <$DEBEMAIL>")
    fi
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None -DBUILD_TESTING=OFF \
        "${maintainer[@]}" >&2 || fail "configuring the build failed"
    cmake --build "$build" -j "$(nproc)" >&2 || fail "the build failed (see above)"
fi
[ -f "$build/CPackConfig.cmake" ] || fail "$build is not a configured build directory"

out="${1:-$build}"
mkdir -p "$out" || fail "cannot make $out"
out="$(cd "$out" && pwd)"
# CPack stages the install tree in its own folder below the output; keep that out of the way.
staging="$(mktemp -d)"
trap 'rm -rf "$staging"' EXIT
(cd "$build" && cpack -G DEB -B "$staging" >&2) || fail "cpack failed (see above)"
shopt -s nullglob
packages=("$staging"/*.deb)
[ ${#packages[@]} -eq 1 ] || fail "cpack made ${#packages[@]} packages, expected one"
mv -f "${packages[0]}" "$out/"
printf '%s\n' "$out/$(basename "${packages[0]}")"
