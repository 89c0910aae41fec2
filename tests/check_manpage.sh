#!/bin/sh
# Lints one man page: groff reports no warning or error (for the default
# device and for the terminal devices man uses), the title matches the file
# name, the page has the sections every page of this project has, and its
# NAME line is one that whatis/apropos can read; with VERSION, the title
# line names that version of the project.
#
#   check_manpage.sh PAGE [VERSION]
#
# Exits 77 (skipped) when groff is not installed.
set -u
if ! command -v groff >/dev/null 2>&1; then
    echo "groff is not installed: skipped"
    exit 77
fi

page=$1
version=${2:-}
section=${page##*.}
name=$(basename "$page" ".$section")
upper=$(printf '%s' "$name" | tr '[:lower:]' '[:upper:]')

status=0
fail() {
    echo "$page: $*"
    status=1
}

for dev in "" -Tutf8 -Tascii; do
    # shellcheck disable=SC2086  # $dev is empty or one word
    out=$(groff -man -ww -z $dev "$page" 2>&1)
    rc=$?
    if [ $rc -ne 0 ] || [ -n "$out" ]; then
        fail "groff -man -ww -z $dev (status $rc) says:"
        printf '%s\n' "$out"
    fi
done

th=$(grep -m1 '^\.TH ' "$page")
case "$th" in
".TH $upper $section "*) ;;
*) fail "title line is '$th', expected '.TH $upper $section ...'" ;;
esac
case "$th" in
*" \"motorbus $version\" "*) ;;
*) [ -z "$version" ] || fail "title line is '$th', expected the version \"motorbus $version\"" ;;
esac

# A program's page says what it prints and how it ends; a file format's does not.
sections="NAME SYNOPSIS DESCRIPTION OUTPUT EXIT_STATUS EXAMPLES SEE_ALSO"
[ "$section" = 1 ] || sections="NAME DESCRIPTION EXAMPLES SEE_ALSO"
for want in $sections; do
    want=$(printf '%s' "$want" | tr _ ' ')
    grep -qxE "\.SH \"?$want\"?" "$page" || fail "no section $want"
done

# The NAME section must be "name \- description" on one line.
grep -A1 -x '\.SH NAME' "$page" | tail -n1 | grep -q "^$name \\\\- ." ||
    fail "NAME line is not '$name \\- description'"
if command -v lexgrog >/dev/null 2>&1; then
    whatis=$(lexgrog "$page" 2>&1)
    case "$whatis" in
    *": \"$name - "*) ;;
    *) fail "lexgrog cannot read the NAME section: $whatis" ;;
    esac
fi

exit $status
