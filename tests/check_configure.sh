#!/bin/sh
# Configures the tree as a machine without GoogleTest would: the configure
# succeeds, says in one line that the tests are left out, and generates the
# programs but no test; and, as any plain configure, leaves warnings as
# warnings.
#   check_configure.sh SOURCE_DIR CMAKE
set -u
source=$1 cmake=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

out=$("$cmake" -S "$source" -B "$work" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON 2>&1)
rc=$?
status=0
[ $rc -eq 0 ] || { echo "FAIL: configure without GoogleTest ended with status $rc"; status=1; }
[ "$(printf '%s\n' "$out" | grep -c 'GoogleTest')" -eq 1 ] &&
    printf '%s\n' "$out" | grep -qx 'GoogleTest not found: tests left out (.ci/deps --test installs it)' ||
    { echo "FAIL: not the one-line notice"; status=1; }
[ -f "$work/fwburn/Makefile" ] || { echo "FAIL: fwburn is not generated"; status=1; }
[ ! -e "$work/tests" ] || { echo "FAIL: the tests are generated all the same"; status=1; }
# A packager's plain configure: warnings are no errors (the presets turn them on).
grep -qx 'MOTORBUS_WERROR:BOOL=OFF' "$work/CMakeCache.txt" ||
    { echo "FAIL: a plain configure makes warnings errors"; status=1; }
[ $status -eq 0 ] || printf '%s\n' "$out"
[ $status -eq 0 ] && echo "configure without GoogleTest: programs only, with the notice"
exit $status
