#!/bin/sh
# Feeds .ci/summary the logs of three made-up stages (one clean, one with a
# failed and two skipped tests, one whose build failed) and checks its lines,
# its last line (what CI reads) and its exit status; then one clean stage alone.
#   check_summary.sh SUMMARY_SCRIPT
set -u
summary=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() {
    echo "FAIL: $*"
    status=1
}

# ctest's own report of a run, as a stage's log holds it.
ctest_log() { # STAGE PROJECT RESULT_LINE [NOT_RUN_LINES [EXIT [FAILED_LINES]]]
    printf 'Test project %s\n    Start 1: A.b\n\n%s\n\nTotal Test time (real) =   1.00 sec\n' "$2" "$3"
    [ -z "${4:-}" ] || printf '\nThe following tests did not run:\n%s\n\n' "$4"
    [ -z "${6:-}" ] || printf 'The following tests FAILED:\n%s\nErrors while running CTest\n' "$6"
    printf 'make %s: exit %s\n' "$1" "${5:-0}"
}
mkdir -p "$work/asan/Testing/Temporary"
cat >"$work/asan/Testing/Temporary/LastTest.log" <<'LOG'
3/9 Test: Valgrind.Flash
Output:
----------------------------------------------------------
Running main() from gtest_main.cc
[ RUN      ] Valgrind.Flash
tests/test_valgrind.cpp:41: Skipped
a sanitized build does not run under valgrind
[  SKIPPED ] Valgrind.Flash (0 ms)
<end of output>
5/9 Test: Trace.HoldOff
Output:
----------------------------------------------------------
[ RUN      ] Trace.HoldOff
/src/tests/test_trace.cpp:51: Failure
Expected equality of these values:
<end of output>
7/9 Test: man_lint.fwburn
Output:
----------------------------------------------------------
checking docs/fwburn.1
groff is not installed: skipped
<end of output>
LOG
ctest_log test "$work/build" "100% tests passed, 0 tests failed out of 12" >"$work/test.log"
ctest_log sanitize "$work/asan" "89% tests passed, 1 tests failed out of 9" \
    "	  3 - Valgrind.Flash (Skipped)
	  7 - man_lint.fwburn (Skipped)" 8 "	  5 - Trace.HoldOff (Failed)" >"$work/sanitize.log"
printf 'cmake --build\nerror: no compiler\nmake fuzz: exit 2\n' >"$work/fuzz.log"

out=$("$summary" "$work/test.log" "$work/sanitize.log" "$work/fuzz.log")
rc=$?
[ $rc -eq 1 ] || fail "exit status $rc with failures, expected 1"
for want in "test: 12 passed, 0 failed" "sanitize: 6 passed, 1 failed, 2 skipped" \
    "  skipped Valgrind.Flash: a sanitized build does not run under valgrind" \
    "  failed Trace.HoldOff: test_trace.cpp:51: Failure" \
    "  skipped man_lint.fwburn: groff is not installed" \
    "fuzz: FAILED before its tests ran (make fuzz: exit 2); see $work/fuzz.log"; do
    printf '%s\n' "$out" | grep -qxF "$want" || fail "no line '$want' in:
$out"
done
last=$(printf '%s\n' "$out" | tail -n1)
[ "$last" = "18 passed, 2 failed, 2 skipped" ] || fail "last line '$last'"

out=$("$summary" "$work/test.log")
rc=$?
[ $rc -eq 0 ] || fail "exit status $rc for a clean stage"
last=$(printf '%s\n' "$out" | tail -n1)
[ "$last" = "12 passed, 0 failed" ] || fail "last line '$last' for a clean stage"

[ $status -eq 0 ] && echo "summary: every stage and the total as expected"
exit $status
