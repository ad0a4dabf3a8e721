#!/usr/bin/env bash
# A 1.0 host runs unchanged on this library.
#   run_consumers.sh CONSUMER_1_0 CONSUMER_CURRENT LIBRARY_DIR EXPECTED
# CONSUMER_1_0 is consumer_1_0.c built from the 1.0 header and linked against
# an unversioned stand-in of the 1.0 library (its references carry no symbol
# version); CONSUMER_CURRENT is the same source built from include/ and linked
# against this library. Both run against the library in LIBRARY_DIR and must
# print EXPECTED, the output of the 1.0.0 library.
set -uo pipefail
old=$1 current=$2 libdir=$3 expected=$4
failed=0
fail() { echo "FAILED: $*"; failed=1; }

# Symbol versions a program asks of libZuvoMPAEncoder.so.1 (none: unversioned).
wanted_versions() {
    readelf -V -W "$1" | awk '/File:/ { ours = ($0 ~ /File: libZuvoMPAEncoder\.so\.1/) }
                              ours && /Name:/ { print $3 }' | sort -u | tr '\n' ' '
}
[ -z "$(wanted_versions "$old")" ] ||
    fail "$(basename "$old") asks for symbol versions ($(wanted_versions "$old")): it does not stand for a 1.0 host"
# Only 1.0 functions used: the program asks for ZUVO_MPA_1.0 and nothing newer.
[ "$(wanted_versions "$current")" == "ZUVO_MPA_1.0 " ] ||
    fail "$(basename "$current") asks for '$(wanted_versions "$current")', expected 'ZUVO_MPA_1.0 '"

for program in "$old" "$current"; do
    output=$(LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$program")
    status=$?
    [ $status -eq 0 ] || fail "$(basename "$program") exited with $status"
    if [ "$output" != "$(cat "$expected")" ]; then
        fail "$(basename "$program") printed something else than $(basename "$expected")"
        diff <(echo "$output") "$expected"
    fi
done
[ $failed -eq 0 ] && echo "both consumers print $(basename "$expected") ($(wc -l <"$expected") streams)"
exit $failed
