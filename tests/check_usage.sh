#!/bin/sh
# Checks a man page against the program it describes, so that the two cannot
# drift apart.
#
#   check_usage.sh usage   PAGE PROGRAM BUILT
#       The usage text the program prints when run without arguments appears
#       in the rendered page as a block, line for line (runs of blanks count
#       as one blank).
#   check_usage.sh options PAGE PROGRAM BUILT
#       Every long option that "PROGRAM --help" names is documented in the page.
#
# BUILT is 1 when the build has the program; 0 skips the check (exit 77), as
# does a machine without groff.
set -u
mode=$1 page=$2 program=$3 built=$4

if [ "$built" != 1 ]; then
    echo "$(basename "$program") is not part of this build: skipped"
    exit 77
fi
if ! command -v groff >/dev/null 2>&1; then
    echo "groff is not installed: skipped"
    exit 77
fi
if [ ! -x "$program" ]; then
    echo "$program was not built"
    exit 1
fi

# Plain text of the page: no bold, underline or overstrike, long lines so that
# a quoted message is not broken, no hyphenation; blanks squeezed, trimmed.
normalise() { sed -e 's/[[:space:]][[:space:]]*/ /g' -e 's/^ //' -e 's/ $//'; }
rendered=$(groff -man -Tascii -P-c -P-b -P-o -P-u -rLL=200n -rHY=0 "$page" | normalise)

case "$mode" in
usage)
    # The program is run with no argument, with a bound in case it waits.
    # shellcheck disable=SC2086 # MOTORBUS_EMULATOR: the emulator of a cross build
    usage=$(timeout 10 ${MOTORBUS_EMULATOR:-} "$program" </dev/null 2>&1 | normalise)
    if [ -z "$usage" ]; then
        echo "$program printed nothing without arguments"
        exit 1
    fi
    # Look for the usage lines as a contiguous run of lines of the page.
    printf '%s\n' "$rendered" | awk -v usage="$usage" '
        BEGIN { n = split(usage, want, "\n") }
        { line[NR] = $0 }
        END {
            for (start = 1; start + n - 1 <= NR; ++start) {
                for (k = 1; k <= n && line[start + k - 1] == want[k]; ++k) {}
                if (k > n) exit 0
            }
            exit 1
        }'
    if [ $? -ne 0 ]; then
        echo "$page does not show the usage text of $program, which is:"
        printf '%s\n' "$usage"
        exit 1
    fi
    ;;
options)
    # shellcheck disable=SC2086
    options=$(timeout 10 ${MOTORBUS_EMULATOR:-} "$program" --help </dev/null 2>&1 | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u)
    if [ -z "$options" ]; then
        echo "$program --help names no option"
        exit 1
    fi
    status=0
    for opt in $options; do
        if ! printf '%s\n' "$rendered" | grep -qE -- "(^|[^a-z0-9-])$opt([^a-z0-9-]|\$)"; then
            echo "$page does not document $opt"
            status=1
        fi
    done
    exit $status
    ;;
*)
    echo "unknown mode $mode"
    exit 2
    ;;
esac
