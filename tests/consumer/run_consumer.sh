#!/usr/bin/env bash
# Builds the host project in this folder against ZuvoMPAEncoder as a user
# gets it, from an existing build of the library (nothing is rebuilt):
#   run_consumer.sh find_package BUILD   cmake --install to a scratch prefix; find_package
#   run_consumer.sh pkg_config BUILD     cmake --install to a scratch prefix; pkg-config
#   run_consumer.sh deb BUILD            cpack -G DEB; dpkg-deb -c; dpkg -x to a scratch root;
#                                        find_package and pkg-config there, the installed tool runs
#   run_consumer.sh subdirectory BUILD   configure only: a project that add_subdirectory()s the tree
# Each also builds the README's own examples of that kind. Checks the installed
# file list first. Environment: CMAKE, CPACK, CC, CXX (default: from PATH);
# ZUVO_EXPECT_TOOL=1 when zuvo-mpa-encode was built.
set -euo pipefail
MODE=$1
BUILD=$(cd "$2" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
CMAKE=${CMAKE:-cmake}
CPACK=${CPACK:-cpack}
CC=${CC:-cc}
CXX=${CXX:-c++}
export CC CXX
WORK=$(mktemp -d "${TMPDIR:-/tmp}/zuvo-consumer-$MODE.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

fail() { echo "FAILED: $*" >&2; exit 1; }
# A fresh environment for pkg-config and CMake: nothing found outside the prefix under test.
unset PKG_CONFIG_PATH CMAKE_PREFIX_PATH LD_LIBRARY_PATH

# The README's examples of "Use from CMake / pkg-config": its CMakeLists.txt
# and its pkg-config command line.
readme_section() { awk '/^## Use from CMake \/ pkg-config/ { on = 1; next } /^## / { on = 0 } on' "$ROOT/README.md"; }
readme_cmake() { readme_section | awk '/^```cmake/ { n++; on = (n == 1); next } /^```/ { on = 0 } on'; }
readme_pkg_config_line() { readme_section | grep -m1 '^c++ .*pkg-config'; }

# Every file a user must find under PREFIX (LIBDIR relative to it).
check_installed() {
    local prefix=$1 libdir=$2 doc=$1/share/doc/zuvo-mpa-encoder
    local expect=("$prefix/include/ZuvoMPAEncoder.h"
                  "$libdir/cmake/ZuvoMPAEncoder/ZuvoMPAEncoderConfig.cmake"
                  "$libdir/cmake/ZuvoMPAEncoder/ZuvoMPAEncoderConfigVersion.cmake"
                  "$libdir/cmake/ZuvoMPAEncoder/ZuvoMPAEncoderTargets.cmake"
                  "$libdir/pkgconfig/zuvo-mpa-encoder.pc"
                  "$doc/README.md" "$doc/NOTICE" "$doc/copyright")
    if [ -e "$libdir/libZuvoMPAEncoder.a" ]; then
        expect+=("$libdir/libZuvoMPAEncoder.a")
    else
        expect+=("$libdir/libZuvoMPAEncoder.so" "$libdir/libZuvoMPAEncoder.so.1")
        [ "$(readlink "$libdir/libZuvoMPAEncoder.so")" = libZuvoMPAEncoder.so.1 ] ||
            fail "libZuvoMPAEncoder.so does not link to the SONAME"
        objdump -p "$libdir/libZuvoMPAEncoder.so.1" | grep -q 'SONAME *libZuvoMPAEncoder.so.1' ||
            fail "SONAME is not libZuvoMPAEncoder.so.1"
    fi
    local header page
    for header in "$ROOT"/include/*.h; do expect+=("$prefix/include/$(basename "$header")"); done
    for page in "$ROOT"/man/*.1; do [ -e "$page" ] && expect+=("$prefix/share/man/man1/$(basename "$page")"); done
    for page in "$ROOT"/man/*.3; do [ -e "$page" ] && expect+=("$prefix/share/man/man3/$(basename "$page")"); done
    [ "${ZUVO_EXPECT_TOOL:-0}" = 1 ] && expect+=("$prefix/bin/zuvo-mpa-encode")
    local f
    for f in "${expect[@]}"; do [ -e "$f" ] || fail "not installed: ${f#"$prefix"/}"; done
    echo "installed (${#expect[@]} files checked):"
    (cd "$prefix" && find . \( -type f -o -type l \) | sort | sed 's|^\./|  |')
}

run_consumers() {  # run_consumers DIR: every consumer program built in DIR
    local program
    for program in "$1"/consumer "$1"/app; do
        [ -x "$program" ] || continue
        "$program" || fail "$program"
    done
    # The C programs write their streams to the file they are given.
    if [ -x "$1/consumer_c" ]; then
        "$1/consumer_c" "$1/consumer_c.mp2" >/dev/null || fail "$1/consumer_c"
    fi
    if [ -x "$1/consumer_1_1" ]; then
        local said
        said=$("$1/consumer_1_1" "$1/consumer_1_1.mp2") || fail "$1/consumer_1_1"
        echo "$said"
        decode_whole "$1/consumer_1_1.mp2" 2 "$(echo "$said" | awk '{ print $2 }')"
    fi
}

# decode_whole FILE CHANNELS FRAMES: every decoder that is installed decodes
# the stream without a complaint to 1152 samples per channel for each frame.
decode_whole() {
    local file=$1 channels=$2 frames=$3 expected out
    expected=$(( frames * 1152 * channels * 2 ))
    out="$WORK/decoded.raw"
    if command -v ffmpeg >/dev/null; then
        ffmpeg -nostdin -v error -err_detect crccheck+bitstream+buffer+explode -i "$file" -f s16le - >"$out" 2>"$WORK/dec.err" ||
            fail "ffmpeg: $(cat "$WORK/dec.err")"
        [ ! -s "$WORK/dec.err" ] || fail "ffmpeg complained: $(cat "$WORK/dec.err")"
        [ "$(stat -c %s "$out")" = "$expected" ] || fail "ffmpeg decoded $(stat -c %s "$out") bytes, not $expected"
    fi
    if command -v mpg123 >/dev/null; then
        mpg123 -q -s "$file" >"$out" 2>"$WORK/dec.err" || fail "mpg123: $(cat "$WORK/dec.err")"
        [ "$(stat -c %s "$out")" = "$expected" ] || fail "mpg123 decoded $(stat -c %s "$out") bytes, not $expected"
    fi
    if command -v madplay >/dev/null; then
        madplay -q -o raw:- "$file" >"$out" 2>"$WORK/dec.err" || fail "madplay: $(cat "$WORK/dec.err")"
        [ "$(stat -c %s "$out")" = "$expected" ] || fail "madplay decoded $(stat -c %s "$out") bytes, not $expected"
    fi
    echo "decoded whole: $(basename "$file"), $frames frames"
}

with_find_package() {  # with_find_package PREFIX
    local prefix=$1
    "$CMAKE" -S "$HERE" -B "$WORK/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_BUILD_TYPE=Release >"$WORK/configure.log" || { cat "$WORK/configure.log"; fail "configure"; }
    grep -q "from $prefix/" "$WORK/configure.log" || { cat "$WORK/configure.log"; fail "ZuvoMPAEncoder found outside $prefix"; }
    "$CMAKE" --build "$WORK/cmake-consumer" >/dev/null || fail "build of the consumer"
    run_consumers "$WORK/cmake-consumer"
    # The README's CMakeLists.txt, with the consumer as its app.cpp.
    mkdir -p "$WORK/readme-cmake"
    readme_cmake >"$WORK/readme-cmake/CMakeLists.txt"
    grep -q find_package "$WORK/readme-cmake/CMakeLists.txt" || fail "README has no CMake example"
    cp "$HERE/consumer.cpp" "$WORK/readme-cmake/app.cpp"
    "$CMAKE" -S "$WORK/readme-cmake" -B "$WORK/readme-cmake/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    "$CMAKE" --build "$WORK/readme-cmake/build" >/dev/null || fail "build of the README's CMake example"
    run_consumers "$WORK/readme-cmake/build"
    echo "find_package: built and ran against $prefix"
}

with_pkg_config() {  # with_pkg_config PREFIX LIBDIR
    local prefix=$1 libdir=$2 static=()
    export PKG_CONFIG_PATH=$libdir/pkgconfig
    [ -e "$libdir/libZuvoMPAEncoder.so" ] || static=(--static)
    pkg-config --exists zuvo-mpa-encoder || fail "pkg-config does not find zuvo-mpa-encoder"
    local cflags libs
    cflags=$(pkg-config --cflags zuvo-mpa-encoder)
    libs=$(pkg-config --libs "${static[@]}" zuvo-mpa-encoder)
    echo "pkg-config: $cflags | $libs"
    mkdir -p "$WORK/pc"
    # shellcheck disable=SC2086
    "$CXX" -std=c++17 -Wall -Wextra -Wpedantic -Werror "$HERE/consumer.cpp" $cflags $libs -o "$WORK/pc/consumer"
    if [ -e "$HERE/../c_api/c99_encode.c" ]; then
        # shellcheck disable=SC2086
        "$CC" -std=c99 -Wall -Wextra -pedantic -Werror "$HERE/../c_api/c99_encode.c" $cflags $libs -o "$WORK/pc/consumer_c"
    fi
    # shellcheck disable=SC2086
    "$CC" -std=c99 -Wall -Wextra -pedantic -Werror "$HERE/consumer_1_1.c" $cflags $libs -lm -o "$WORK/pc/consumer_1_1"
    # The README's command line, in a folder with its app.cpp.
    mkdir -p "$WORK/readme-pc"
    cp "$HERE/consumer.cpp" "$WORK/readme-pc/app.cpp"
    local line
    line=$(readme_pkg_config_line) || fail "README has no pkg-config example"
    if [ ${#static[@]} -gt 0 ]; then line=${line/--libs/--libs --static}; fi
    (cd "$WORK/readme-pc" && eval "$line") || fail "the README's pkg-config example: $line"
    LD_LIBRARY_PATH=$libdir run_consumers "$WORK/pc"
    LD_LIBRARY_PATH=$libdir run_consumers "$WORK/readme-pc"
    unset PKG_CONFIG_PATH
    echo "pkg-config: built and ran against $prefix"
}

case "$MODE" in
    find_package|pkg_config)
        "$CMAKE" --install "$BUILD" --prefix "$WORK/prefix" >/dev/null
        libdir=$(dirname "$(dirname "$(find "$WORK/prefix" -name zuvo-mpa-encoder.pc)")")
        check_installed "$WORK/prefix" "$libdir"
        if [ "$MODE" = find_package ]; then with_find_package "$WORK/prefix"; else with_pkg_config "$WORK/prefix" "$libdir"; fi
        ;;
    deb)
        (cd "$WORK" && "$CPACK" -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/package" >"$WORK/cpack.log") ||
            { cat "$WORK/cpack.log"; fail "cpack"; }
        deb=$(find "$WORK/package" -maxdepth 1 -name '*.deb')
        [ -n "$deb" ] || fail "cpack made no .deb"
        echo "$(basename "$deb"):"
        dpkg-deb -I "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\|Section\):/  \1:/p'
        dpkg-deb -c "$deb" >"$WORK/contents"
        for f in ./usr/include/ZuvoMPAEncoder.h ./usr/lib/cmake/ZuvoMPAEncoder/ZuvoMPAEncoderConfig.cmake \
                 ./usr/lib/pkgconfig/zuvo-mpa-encoder.pc ./usr/share/doc/zuvo-mpa-encoder/copyright; do
            grep -q " $f\$" "$WORK/contents" || fail "dpkg-deb -c does not list $f"
        done
        dpkg -x "$deb" "$WORK/root"
        check_installed "$WORK/root/usr" "$WORK/root/usr/lib"
        with_find_package "$WORK/root/usr"
        with_pkg_config "$WORK/root/usr" "$WORK/root/usr/lib"
        if [ "${ZUVO_EXPECT_TOOL:-0}" = 1 ]; then
            # Stripped, and it finds the library beside it in the unpacked tree.
            file -L "$WORK/root/usr/bin/zuvo-mpa-encode" | grep -q ', stripped' || fail "the packaged tool is not stripped"
            "$WORK/root/usr/bin/zuvo-mpa-encode" --version || fail "the packaged tool does not run"
        fi
        ;;
    subdirectory)
        # A host that vendors the tree: no tests, benchmarks or fuzzer are
        # configured (so neither GoogleTest nor Google Benchmark is needed), and
        # the library's target has its namespaced name.
        mkdir -p "$WORK/host"
        cp "$HERE/consumer.cpp" "$WORK/host/app.cpp"
        cat >"$WORK/host/CMakeLists.txt" <<HOST
cmake_minimum_required(VERSION 3.25)
project(host LANGUAGES CXX)
add_subdirectory("$ROOT" zuvo)
add_executable(app app.cpp)
target_link_libraries(app PRIVATE ZuvoMPAEncoder::ZuvoMPAEncoder)
HOST
        "$CMAKE" -S "$WORK/host" -B "$WORK/host/build" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
            -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >"$WORK/configure.log" 2>&1 ||
            { cat "$WORK/configure.log"; fail "configure of a host with add_subdirectory"; }
        for option in ZUVO_BUILD_TESTS ZUVO_BUILD_BENCH ZUVO_FUZZ; do
            grep -q "^$option:BOOL=OFF" "$WORK/host/build/CMakeCache.txt" || fail "$option is not OFF in a subproject"
        done
        "$CMAKE" --build "$WORK/host/build" --target help >"$WORK/targets"
        grep -q 'ZuvoMPAEncoder' "$WORK/targets" || fail "the library is not a target of the host"
        grep -q 'test_api_\|bench_\|fuzz_api' "$WORK/targets" && fail "a subproject configures tests or benchmarks"
        echo "subdirectory: configured without tests, benchmarks and fuzzer"
        ;;
    *) echo "usage: $0 find_package|pkg_config|deb|subdirectory BUILD_DIR" >&2; exit 2 ;;
esac
echo "consumer $MODE: passed"
