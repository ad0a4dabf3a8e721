#!/usr/bin/env bash
# Checks the built Windows binaries without running them:
#   - the DLL and every program import system DLLs only (the compiler's runtime
#     is linked in), and the programs nothing else but ZuvoMPAEncoder.dll;
#   - the DLL exports exactly the names of the .def file, and these are the
#     C++ functions and every function of zuvo_mpa.h;
#   - each Microsoft name in the .def demangles (llvm-undname) to the same
#     function and argument types as its GCC twin (c++filt), with pointers of
#     the architecture's width;
#   - the import library for Microsoft-style linkers defines every Microsoft
#     name undecorated;
#   - the DLL carries its version information.
# Usage: check_binaries.sh ARCH(x64|x86) BIN_DIR DEF_FILE MSVC_IMPORT_LIB
set -uo pipefail
arch=$1 bin=$2 def=$3 msvc_lib=$4
case $arch in
    x64) triple=x86_64-w64-mingw32 format=pei-x86-64 ;;
    x86) triple=i686-w64-mingw32 format=pei-i386 ;;
    *) echo "unknown architecture $arch"; exit 2 ;;
esac
objdump=$triple-objdump
cxxfilt=$triple-c++filt
undname=$(command -v llvm-undname || command -v llvm-undname-14)
llvm_nm=$(command -v llvm-nm || command -v llvm-nm-14)
dll=$bin/ZuvoMPAEncoder.dll

passed=0 failed=0
check() {  # check DESCRIPTION COMMAND...
    local what=$1; shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
same() { [ "$1" == "$2" ] || { echo "  got:      $1"; echo "  expected: $2"; return 1; }; }

# System DLLs a program of ours may import (lower case).
system_dlls="kernel32.dll msvcrt.dll user32.dll advapi32.dll ws2_32.dll shell32.dll ole32.dll"
imports_of() { "$objdump" -p "$1" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u; }
only_system() {  # only_system FILE [EXTRA_ALLOWED...]
    local file=$1; shift
    local allowed=" $system_dlls $* " bad=""
    for name in $(imports_of "$file"); do
        [[ $allowed == *" $name "* ]] || bad="$bad $name"
    done
    [ -z "$bad" ] || { echo "  $(basename "$file") imports:$bad"; return 1; }
}

check "the DLL is a $format image" grep -q "file format $format" <("$objdump" -f "$dll")
check "the DLL imports system DLLs only" only_system "$dll"
check "the DLL imports KERNEL32.dll" grep -qx kernel32.dll <(imports_of "$dll")
check "the DLL carries version information" grep -qx "ZuvoMPAEncoder.dll" <("$triple-strings" -el "$dll")
programs=$(find "$bin" -maxdepth 1 -name '*.exe' | sort)
check "there are programs to check" test -n "$programs"
for exe in $programs; do
    check "$(basename "$exe") imports system DLLs and ZuvoMPAEncoder.dll only" only_system "$exe" zuvompaencoder.dll
done

# Export table against the .def file.
def_names=$(sed -n 's/^\s\+\([?_a-z][^ ]*\).*/\1/p' "$def" | sort)
dll_names=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[\s*[0-9]*\] //p' | sort)
# 8 C++ functions under two names each, and every function of zuvo_mpa.h.
header_names=$(sed -n 's/^ZUVO_API .*[ *]\(zuvo_mpa_[a-z0-9_]*\)(.*/\1/p' "$(dirname "$0")/../include/zuvo_mpa.h" | sort)
check "zuvo_mpa.h declares functions" test -n "$header_names"
check "the .def lists 16 C++ names" same "$(echo "$def_names" | grep -c -v '^zuvo_mpa_')" 16
check "the .def's C names are the functions of zuvo_mpa.h" same "$(echo "$def_names" | grep '^zuvo_mpa_')" "$header_names"
check "the DLL exports exactly the .def's names" same "$dll_names" "$def_names"

# Microsoft names against their GCC twins.
normalise() {  # "int __cdecl f(void *, struct x *)" or "f(void*, x*)" -> "f(void*,x*)"
    sed -e 's/^.*__cdecl //' -e 's/struct //g' -e 's/ //g' -e 's/(void)$/()/'
}
while read -r microsoft gcc; do
    ms_signature=$("$undname" "$microsoft" | grep -m 1 __cdecl | normalise)
    gcc_signature=$(echo "$gcc" | "$cxxfilt" --no-strip-underscore | normalise)
    check "$microsoft matches $gcc" same "$ms_signature" "$gcc_signature"
    check "$microsoft is __cdecl" grep -q "__cdecl" <("$undname" "$microsoft")
    codes=$(echo "$microsoft" | sed -e 's/^?[A-Za-z_]*@@//' -e 's/U[A-Za-z_0-9]*@@/U@@/g')
    if [ "$arch" == x64 ]; then
        check "$microsoft has 64-bit pointers" bash -c "[[ '$codes' == *PEA* && '$codes' != *PA* ]]"
    else
        check "$microsoft has 32-bit pointers" bash -c "[[ '$codes' == *PA* && '$codes' != *PEA* ]]"
    fi
done < <(sed -n 's/^\s\+\(?[^ ]*\) = \([^ ]*\).*/\1 \2/p' "$def")

# The Microsoft-style import library: undecorated names on both architectures.
lib_symbols=$("$llvm_nm" "$msvc_lib" 2>/dev/null | sed -n 's/^.* [TI] \(__imp_?.*\)$/\1/p' | sort -u)
for microsoft in $(echo "$def_names" | grep '^?'); do
    check "the import library defines __imp_$microsoft" grep -qxF "__imp_$microsoft" <(echo "$lib_symbols")
done
# C names: as Microsoft's compiler refers to them, with the one leading
# underscore of __cdecl on x86 and none on x64.
c_prefix=__imp_; [ "$arch" == x86 ] && c_prefix=__imp__
c_symbols=$("$llvm_nm" "$msvc_lib" 2>/dev/null | sed -n 's/^.* [TI] \(__imp_.*zuvo_mpa_.*\)$/\1/p' | sort -u)
for name in $(echo "$def_names" | grep '^zuvo_mpa_'); do
    check "the import library defines $c_prefix$name" grep -qxF "$c_prefix$name" <(echo "$c_symbols")
done

if [ $failed -gt 0 ]; then
    echo "check_binaries ($arch): $failed checks FAILED, $passed passed"
    exit 1
fi
echo "check_binaries ($arch): $passed checks passed"
