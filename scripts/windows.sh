#!/usr/bin/env bash
# ZuvoMPAEncoder for Windows: cross-builds ZuvoMPAEncoder.dll for 64-bit and
# 32-bit Windows with MinGW-w64, runs the Windows tests under Wine and stages
# the distribution folder dist/windows/.
#
#   scripts/windows.sh deps              install the cross compilers, Wine and the LLVM tools (apt)
#   scripts/windows.sh build             build both architectures (build-win64/, build-win32/)
#   scripts/windows.sh test              build, then run every Windows test under Wine, and check
#                                        that the Linux library gives the same streams (natively,
#                                        and with its AVX2 copies under valgrind)
#   scripts/windows.sh dist              build, then stage dist/windows/
#   scripts/windows.sh identity-update   rewrite windows/identity.expected from the Linux library
#                                        (after a deliberate change of the encoder's output)
#   scripts/windows.sh all               deps, test, dist (the default)
#
# Environment: ZUVO_WINEPREFIX (default build-wine/) is the Wine prefix the
# tests use; JOBS (default 2) the parallel build jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${JOBS:-2}
ARCHES=(x64 x86)

DEB_PACKAGES=(cmake make pkg-config libgtest-dev
              g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
              clang-14 lld-14 llvm-14
              wine wine64 wine32:i386)

build_dir() { [ "$1" == x64 ] && echo "$ROOT/build-win64" || echo "$ROOT/build-win32"; }
say() { echo "== $*"; }

deps() {
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    local missing=()
    for p in "${DEB_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing: ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
    fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build() {
    for arch in "${ARCHES[@]}"; do
        local dir
        dir=$(build_dir "$arch")
        say "building $arch in $dir"
        # The presets windows-x64 and windows-x86 (CMakePresets.json): the
        # MinGW-w64 toolchain, -O2 as the Linux build, without debug information.
        cmake --preset "windows-$arch" -B "$dir" >/dev/null
        cmake --build "$dir" -j"$JOBS"
    done
}

# Wine without a display, without debug chatter and without the .NET and HTML
# installers, in its own prefix. A fresh prefix is made once and its services
# started with their standard streams closed: otherwise they hold on to the
# output pipe of the first test and every test waits for them.
wine_up() {
    export WINEPREFIX=${ZUVO_WINEPREFIX:-$ROOT/build-wine}
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEARCH=win64
    unset DISPLAY WAYLAND_DISPLAY
    if [ ! -x /usr/lib/wine/wine ]; then
        echo "32-bit Wine is missing (wine32:i386): the 32-bit tests cannot run. Run: $0 deps" >&2
        exit 1
    fi
    # A server of this prefix that stays up between the tests (it may be up already).
    wineserver -p 2>/dev/null || true
    trap wine_down EXIT
    if [ ! -d "$WINEPREFIX/drive_c/windows" ]; then
        say "making the Wine prefix $WINEPREFIX"
        wineboot --init </dev/null >/dev/null 2>&1
    fi
    wine cmd /c exit </dev/null >/dev/null 2>&1
}
wine_down() { wineserver -k 2>/dev/null || true; }

linux_identity() {  # the same streams from the Linux library
    local dir=$ROOT/build-winhost
    cmake --preset library -B "$dir" >/dev/null
    cmake --build "$dir" -j"$JOBS" --target ZuvoMPAEncoder >/dev/null
    g++ -std=c++17 -O2 -Wall -Wextra -Wpedantic -Werror -I"$ROOT/include" "$ROOT/windows/identity_encode.cpp" \
        -L"$dir" -lZuvoMPAEncoder -Wl,-rpath,"$dir" -o "$dir/identity_encode"
}

run_tests() {
    local failed=0
    say "checking the Linux library against windows/identity.expected"
    linux_identity
    cmake -DPROGRAM="$ROOT/build-winhost/identity_encode" -DEXPECTED="$ROOT/windows/identity.expected" \
          -P "$ROOT/windows/compare_identity.cmake" 2>&1 || {
        echo "The Linux library's streams changed: if that was meant, run '$0 identity-update'" >&2
        failed=1
    }
    # valgrind offers AVX2 but not AVX-512, so under it the library runs its
    # AVX2 copies (natively here, the AVX-512 ones): the same streams again.
    if command -v valgrind >/dev/null; then
        say "checking the Linux library's AVX2 copies (under valgrind) against windows/identity.expected"
        cmake -DPROGRAM="$ROOT/build-winhost/identity_encode" -DEMULATOR="valgrind;-q" \
              -DEXPECTED="$ROOT/windows/identity.expected" -P "$ROOT/windows/compare_identity.cmake" 2>&1 || failed=1
    fi
    wine_up
    for arch in "${ARCHES[@]}"; do
        say "testing $arch under Wine"
        (cd "$(build_dir "$arch")" && ctest -j"$JOBS" --output-on-failure --no-tests=error) || failed=1
    done
    return $failed
}

dist() {
    local out=$ROOT/dist/windows
    say "staging $out"
    rm -rf "$out"
    mkdir -p "$out/include" "$out/doc"
    cp "$ROOT/include/ZuvoMPAEncoder.h" "$ROOT/include/zuvo_mpa.h" "$ROOT/include/zuvo_export.h" "$out/include/"
    cp "$ROOT/README.md" "$out/doc/"
    for arch in "${ARCHES[@]}"; do
        local dir
        dir=$(build_dir "$arch")
        mkdir -p "$out/bin/$arch" "$out/lib/$arch"
        # Exactly the files the tests ran (Release builds link them stripped).
        cp "$dir/bin/ZuvoMPAEncoder.dll" "$dir/bin/zuvo-mpa-encode.exe" "$out/bin/$arch/"
        cp "$dir/lib/ZuvoMPAEncoder.lib" "$out/lib/$arch/"          # Visual Studio and other Microsoft-style linkers
        cp "$dir/lib/libZuvoMPAEncoder.dll.a" "$out/lib/$arch/"     # MinGW
        cp "$ROOT/windows/ZuvoMPAEncoder-$arch.def" "$out/lib/$arch/ZuvoMPAEncoder.def"
    done
    (cd "$out" && find . -type f | sort | sed 's/^\.\//  /')
}

verb=${1:-all}
case "$verb" in
    deps) deps ;;
    build) build ;;
    test) build; run_tests ;;
    dist) build; dist ;;
    identity-update)
        linux_identity
        "$ROOT/build-winhost/identity_encode" >"$ROOT/windows/identity.expected"
        cat "$ROOT/windows/identity.expected"
        ;;
    all) deps; build; run_tests; dist ;;
    *)
        echo "usage: $0 [deps|build|test|dist|identity-update|all]" >&2
        exit 1
        ;;
esac
