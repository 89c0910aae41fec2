#!/bin/sh
# The programs built as a packager builds them, in Release (-O3), with
# warnings made errors: a warning that only optimisation brings out (GCC
# 12's -Wrestrict in an inlined std::string operator+) cannot come back.
#   check_release.sh SOURCE_DIR CMAKE CXX_COMPILER
set -u
source=$1 cmake=$2 cxx=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$cmake" -S "$source" -B "$work" -DCMAKE_BUILD_TYPE=Release -DMOTORBUS_WERROR=ON \
    -DMOTORBUS_TESTS=OFF -DCMAKE_CXX_COMPILER="$cxx" >"$work.log" 2>&1 &&
    "$cmake" --build "$work" --target programs -j 2 >>"$work.log" 2>&1
rc=$?
[ $rc -eq 0 ] || { grep -E 'error|warning' "$work.log" | head -20; echo "FAIL: the Release build with warnings as errors failed"; }
rm -f "$work.log"
[ $rc -eq 0 ] && echo "Release with warnings as errors: the programs build"
exit $rc
