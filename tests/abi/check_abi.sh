#!/usr/bin/env bash
# The shared library against the stored ABI of 1.0.0 (abidiff, abigail-tools):
# a program built against any earlier 1.x must run on this library.
#   check_abi.sh LIBRARY BASELINE.abi HEADERS_DIR [SANITIZER]
# The baseline was made from the 1.0.0 tree with
#   abidw --headers-dir include --no-corpus-path build/libZuvoMPAEncoder.so.1.0.0
# (RelWithDebInfo). The comparison reads the types from the debug information,
# so it is skipped (exit 77) for a library without it, for sanitizer builds
# (their instrumentation is not the shipped library) and when abidiff is not
# installed.
set -uo pipefail
library=$1 baseline=$2 headers=$3 sanitizer=${4:-}
skip() { echo "SKIPPED: $*"; exit 77; }

[ -z "$sanitizer" ] || skip "a $sanitizer sanitizer build"
command -v abidiff >/dev/null || skip "abidiff is not installed (Debian: abigail-tools)"
readelf -S -W "$library" | grep -q '\.debug_info' || skip "$library has no debug information"

# The baseline's symbols carry no version (1.0.0 had no version script); this
# library's are name@@ZUVO_MPA_1.x. abidiff does not match a function across
# that difference, nor report it: it would compare nothing and pass. So the
# library's corpus is written with abidw as the baseline was, and its version
# tags are dropped before the comparison; which version node holds which
# function is check_symbol_versions.sh's business.
corpus=$(mktemp)
trap 'rm -f "$corpus"' EXIT
abidw --headers-dir "$headers" --no-corpus-path "$library" |
    sed -e "s/ version='[^']*' is-default-version='[^']*'//g" -e "s/@\{1,2\}ZUVO_MPA_[0-9.]*'/'/g" >"$corpus"
if [ "${PIPESTATUS[0]}" -ne 0 ] || grep -q 'ZUVO_MPA_' "$corpus" || ! grep -q "elf-symbol name='zuvo_mpa_create'" "$corpus"; then
    echo "FAILED: could not write an unversioned corpus of $library"
    exit 1
fi

# abidiff's exit status is a set of bits: 1 the tool failed, 2 wrong usage,
# 4 the ABI changed, 8 the change is incompatible (a function or variable
# removed). Functions added since the baseline are what a minor release does,
# so --no-added-syms leaves them out of the report and of the status; what can
# still set bit 4 is a change to something a 1.0 host uses (a parameter or
# return type, the layout of a structure such as zuvo_mpa_settings), which
# breaks such a host as surely as a removal. Harmless changes (a typedef of the
# same type, enumerators added) are filtered by abidiff itself. So every
# status but 0 fails.
# --headers-dir1/2: types defined outside the public headers are private. The
# handles zuvo_mpa_encoder and zuvo_mpa_config are declared there but defined
# in the library; hosts hold only pointers, so their layouts may change.
abidiff --no-added-syms --headers-dir1 "$headers" --headers-dir2 "$headers" "$baseline" "$corpus"
status=$?
case $status in
    0) echo "no change to the ABI of $(basename "$baseline") (functions added since are allowed)" ;;
    1 | 2 | 3) echo "FAILED: abidiff could not compare (status $status)" ;;
    *) echo "FAILED: the ABI of $(basename "$baseline") changed (abidiff status $status:" \
            "$( ((status & 8)) && echo incompatible || echo changed))" ;;
esac
[ $status -eq 0 ]
