#!/usr/bin/env bash
# Which version node of the shared library holds which function
# (cmake/ZuvoMPAEncoder.map):
#   - every exported symbol has a version, and every node ZUVO_MPA_1.N
#     (N >= 1) inherits ZUVO_MPA_1.(N-1);
#   - the C++ functions and the C functions of the 1.0 header are ZUVO_MPA_1.0;
#   - every other function of include/zuvo_mpa.h is exported, in a later node.
# A function of a later release placed in ZUVO_MPA_1.0 would let a program that
# needs it load a 1.0 library and fail at its first call instead of at start.
#   check_symbol_versions.sh LIBRARY HEADER_1_0 HEADER_CURRENT
set -uo pipefail
library=$1 header_1_0=$2 header=$3
failed=0
fail() { echo "FAILED: $*"; failed=1; }

functions_of() { sed -n 's/^ZUVO_API .*[ *]\(zuvo_mpa_[a-z0-9_]*\)(.*/\1/p' "$1" | sort -u; }
# "name version" of every defined dynamic symbol but the version nodes themselves.
exports=$(readelf --dyn-syms -W "$library" |
          awk '$7 != "UND" && $7 != "ABS" && ($5 == "GLOBAL" || $5 == "WEAK") { print $8 }' |
          sed 's/@@*/ /' | sort -u)
[ -n "$exports" ] || { echo "no exported symbols read from $library"; exit 1; }
version_of() { awk -v n="$1" '$1 == n { print ($2 == "" ? "(none)" : $2) }' <<<"$exports"; }

while read -r name version; do
    [[ ${version:-} == ZUVO_MPA_1.* ]] || fail "$name has version '${version:-}', not a ZUVO_MPA_1.* node"
    [[ $name == _Z* && ${version:-} != ZUVO_MPA_1.0 ]] && fail "$name (C++) is in ${version:-}, not ZUVO_MPA_1.0"
done <<<"$exports"

old_functions=$(functions_of "$header_1_0")
[ "$(wc -l <<<"$old_functions")" -eq 9 ] || fail "expected the 9 functions of 1.0 in $header_1_0"
for name in $old_functions; do
    [ "$(version_of "$name")" == ZUVO_MPA_1.0 ] || fail "$name is in '$(version_of "$name")', not ZUVO_MPA_1.0"
done
for name in $(comm -13 <(echo "$old_functions") <(functions_of "$header")); do
    version=$(version_of "$name")
    [[ $version == ZUVO_MPA_1.* && $version != ZUVO_MPA_1.0 ]] ||
        fail "$name (added after 1.0) is in '${version:-not exported}', not a node after ZUVO_MPA_1.0"
done

# Version definitions: "Name: ZUVO_MPA_1.1" followed by "Parent 1: ZUVO_MPA_1.0".
definitions=$(readelf -V -W "$library" | sed -n '/\.gnu\.version_d/,/\.gnu\.version_r/p')
for node in $(grep -o 'Name: ZUVO_MPA_1\.[0-9]*' <<<"$definitions" | sed 's/Name: //'); do
    minor=${node##*.}
    [ "$minor" -eq 0 ] && continue
    parent=$(grep -A1 "Name: $node\$" <<<"$definitions" | sed -n 's/.*Parent 1: //p')
    [ "$parent" == "ZUVO_MPA_1.$((minor - 1))" ] || fail "$node inherits '${parent}', not ZUVO_MPA_1.$((minor - 1))"
done

[ $failed -eq 0 ] && echo "$(wc -l <<<"$exports") exported symbols, each in its version node"
exit $failed
