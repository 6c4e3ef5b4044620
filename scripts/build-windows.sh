#!/usr/bin/env bash
# Cross-builds the Windows x86-64 programs with mingw-w64 and lays them out, with every DLL they
# load that Windows does not ship, in dist/windows-x86_64/.
#
# SDL2, FFmpeg (VP8 and H.264 decoders, libswscale, libswresample), opus and GoogleTest are built
# from Debian's own sources once and kept in a cache outside the work tree, keyed by their
# versions: $NIMBAR_WINDOWS_CACHE, by default ~/.cache/nimbar-windows. The project is built in
# build-windows/ (programs and unit tests in build-windows/bin/).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# Bump when the way the libraries are built changes, so that old caches are not reused.
RECIPE=1
TRIPLET=x86_64-w64-mingw32
SYSROOT=/usr/$TRIPLET
jobs=$(nproc)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

install_packages() {
    local packages=(mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64
                    nasm dpkg-dev cmake ninja-build pkg-config make icoutils)
    local missing=() p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "build-windows: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# apt-get source needs deb-src entries for the archive the binaries come from.
enable_sources() {
    if apt-cache showsrc opus 2>/dev/null | grep -q '^Version:'; then
        return 0
    fi
    echo "build-windows: adding deb-src entries for Debian's archive"
    $sudo tee /etc/apt/sources.list.d/nimbar-deb-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    $sudo apt-get update -qq
}

# The version that apt-get source would fetch.
source_version() {
    apt-cache showsrc "$1" | awk '/^Version:/ { print $2 }' | sort -V | tail -n 1
}

# Each library's build: <source dir> <prefix>; the work directory is the source directory.
build_opus() {
    # opus's CMake files are incomplete in the release tarball. Fortified memcpy calls would need
    # a libssp that mingw does not link by default.
    ./configure --host=$TRIPLET --prefix="$2" --enable-shared --disable-static --disable-doc \
        --disable-extra-programs CC=$TRIPLET-gcc-posix CPPFLAGS=-D_FORTIFY_SOURCE=0 &&
        make -j"$jobs" && make install
}

build_with_cmake() { # build_with_cmake <source dir> <prefix> <options...>
    local source=$1 prefix=$2
    shift 2
    cmake -S "$source" -B "$source/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_INSTALL_PREFIX="$prefix" "$@" &&
        cmake --build "$source/build" && cmake --install "$source/build"
}

build_sdl2() {
    build_with_cmake "$1" "$2" -DSDL_SHARED=ON -DSDL_STATIC=OFF -DSDL_TEST=OFF
}

build_ffmpeg() {
    # Only what the viewer uses. Threads are "autodetected", so they are asked for by name.
    ./configure --prefix="$2" --enable-cross-compile --target-os=mingw32 --arch=x86_64 \
        --cross-prefix=$TRIPLET- --cc=$TRIPLET-gcc-posix --enable-shared --disable-static \
        --disable-everything --disable-autodetect --enable-w32threads --disable-programs \
        --disable-doc --disable-network --disable-avdevice --disable-avfilter \
        --disable-avformat --disable-postproc --enable-swscale --enable-swresample \
        --enable-decoder=vp8,h264 &&
        make -j"$jobs" && make install
}

build_googletest() {
    build_with_cmake "$1" "$2" -DBUILD_GMOCK=OFF
}

# Runs `build_<name> <source dir> <prefix>` in the source directory, its output in a log that is
# shown only when the build fails. (Each build chains its steps with &&: errexit does not hold
# inside a condition.)
build_library() { # build_library <name> <source dir> <prefix>
    local log=$2/../$1.log
    echo "build-windows:   $1"
    if ! (cd "$2" && "build_$1" "$2" "$3") >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "build-windows: building $1 failed; the whole log is $log" >&2
        exit 1
    fi
}
# Builds the four libraries into $prefix unless a complete build is there already.
build_dependencies() {
    local prefix=$1
    if [ -f "$prefix/.complete" ]; then
        return 0
    fi
    echo "build-windows: building SDL2, FFmpeg, opus and GoogleTest into $prefix"
    local work
    work=$(mktemp -d "$cache/work.XXXXXX")
    rm -rf "$prefix"
    if ! (cd "$work" && apt-get source -q libsdl2 ffmpeg opus googletest) >"$work/source.log" 2>&1
    then
        cat "$work/source.log" >&2
        echo "build-windows: apt-get source failed" >&2
        exit 1
    fi
    local started=$SECONDS
    build_library opus "$(echo "$work"/opus-*/)" "$prefix"
    build_library sdl2 "$(echo "$work"/libsdl2-*/)" "$prefix"
    build_library ffmpeg "$(echo "$work"/ffmpeg-*/)" "$prefix"
    build_library googletest "$(echo "$work"/googletest-*/)" "$prefix"
    rm -rf "$work"
    touch "$prefix/.complete"
    echo "build-windows: libraries built in $((SECONDS - started)) s"
}

# The DLLs that `file` imports, by name, that live in the prefix or the mingw sysroot (everything
# else is Windows' own), followed through their own imports.
bundled_dlls() {
    local pending=("$@") seen=" " file name found runtime
    runtime=$(dirname "$($TRIPLET-gcc-posix -print-libgcc-file-name)")
    while [ ${#pending[@]} -gt 0 ]; do
        file=${pending[0]}
        pending=("${pending[@]:1}")
        for name in $($TRIPLET-objdump -p "$file" | awk '/DLL Name:/ { print $3 }'); do
            found=$(find "$prefix/bin" "$SYSROOT/lib" "$runtime" -maxdepth 1 -iname "$name" -print -quit)
            if [ -n "$found" ] && [[ "$seen" != *" $found "* ]]; then
                seen="$seen$found "
                pending+=("$found")
                echo "$found"
            fi
        done
    done
}

install_packages
enable_sources

cache=${NIMBAR_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/nimbar-windows}
mkdir -p "$cache"
key="sdl2-$(source_version libsdl2)_ffmpeg-$(source_version ffmpeg)_opus-$(source_version opus)"
key="${key}_googletest-$(source_version googletest)_r$RECIPE"
prefix="$cache/${key//[^A-Za-z0-9._+-]/_}"
# Two builds on one machine (a CI run beside a session) take turns on the cache.
exec 9>"$cache/.lock"
flock 9
build_dependencies "$prefix"

export PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig"
unset PKG_CONFIG_PATH
cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DNIMBAR_WINDOWS_PREFIX="$prefix" \
    -DNIMBAR_WERROR=ON -DNIMBAR_BUILD_HOST=OFF -DNIMBAR_BUILD_BENCH=OFF >/dev/null
cmake --build build-windows

dist=dist/windows-x86_64
rm -rf "$dist"
mkdir -p "$dist"
cp build-windows/bin/video_player.exe build-windows/bin/stream_preview.exe "$dist/"
for dll in $(bundled_dlls "$dist"/*.exe); do
    cp "$dll" "$dist/"
done
$TRIPLET-strip --strip-unneeded "$dist"/*.exe "$dist"/*.dll
cp docs/windows-dist-README.txt "$dist/README.txt"
# The unit tests find their DLLs beside them.
cp "$dist"/*.dll build-windows/bin/
flock -u 9

echo "build-windows: $dist holds $(du -sh "$dist" | cut -f1) in all:"
(cd "$dist" && ls -l --block-size=K ./*.exe ./*.dll | awk '{ printf "  %8s  %s\n", $5, $9 }')
