#!/usr/bin/env bash
# Valgrind memcheck over every way a context's life can go (bench/prog_lifecycle.cpp,
# run against the shared library through dlopen): no invalid access, no
# definite or indirect leak, and no block allocated by the library still held
# at exit (contexts left live at unload or exit must be destroyed by the
# library's unload hook). Blocks the dynamic loader keeps for the library that
# is still loaded at exit are not the library's and are allowed.
#   scripts/memcheck.sh               builds into build-memcheck (or $ZUVO_MEMCHECK_BUILD_DIR)
# Needs valgrind; installs nothing. Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${ZUVO_MEMCHECK_BUILD_DIR:-$ROOT/build-memcheck}
JOBS=${ZUVO_MEMCHECK_JOBS:-2}

command -v valgrind >/dev/null || { echo "memcheck: valgrind is not installed" >&2; exit 2; }

# An existing build directory (e.g. the main one) is used as it is configured.
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake --preset memcheck -B "$BUILD" >/dev/null  # the library and the lifecycle program
fi
cmake --build "$BUILD" --target ZuvoMPAEncoder lifecycle -j"$JOBS"

LOG="$BUILD/memcheck.log"
echo "== valgrind memcheck: lifecycle (log: $LOG)"
set +e
valgrind --error-exitcode=1 --leak-check=full --show-leak-kinds=all \
    --errors-for-leak-kinds=definite,indirect --track-origins=yes --num-callers=30 \
    "$BUILD/bench/lifecycle" "$BUILD/libZuvoMPAEncoder.so" >"$BUILD/memcheck.out" 2>"$LOG"
status=$?
set -e
cat "$BUILD/memcheck.out"

# Loss records whose allocation stack passes through the library.
library_records=$(awk '
    /in loss record/ { inrec = 1; rec = $0 "\n"; next }
    inrec && /^==[0-9]+== *$/ { if (rec ~ /zuvo::|Zuvo|libZuvoMPAEncoder/) { print rec; n++ } inrec = 0; next }
    inrec { rec = rec $0 "\n" }
    END { exit n > 0 }' "$LOG") || true
grep -E "ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|still reachable" "$LOG" || true

if [ $status -ne 0 ]; then
    echo "memcheck: FAILED (exit $status)" >&2
    grep -v '^absthr' "$LOG" | tail -60 >&2
    exit 1
fi
if [ -n "$library_records" ]; then
    echo "memcheck: FAILED: memory allocated by the library is still held at exit:" >&2
    echo "$library_records" >&2
    exit 1
fi
echo "memcheck: clean"
