#!/bin/sh
# Checks the relative links of Markdown files: each names a file or directory
# that exists (relative to the file that links to it) and, with #anchor, a
# heading of that file (anchors as the usual Markdown renderers make them:
# lower case, punctuation dropped, blanks turned into hyphens).
#
#   check_links.sh FILE.md...
set -u
status=0

# The anchors of a Markdown file's headings, one a line.
anchors() {
    sed -n 's/^#\{1,6\} //p' "$1" | tr '[:upper:]' '[:lower:]' |
        sed -e 's/[^a-z0-9 _-]//g' -e 's/ /-/g'
}

for md in "$@"; do
    dir=$(dirname "$md")
    # Every "](target)" outside code spans; absolute URLs are not checked.
    # shellcheck disable=SC2016 # the backticks are Markdown's, not a command
    links=$(sed -e 's/`[^`]*`//g' "$md" | grep -o '](\([^)]*\))' | sed -e 's/^](//' -e 's/)$//')
    for link in $links; do
        case "$link" in
        http://* | https://* | mailto:*) continue ;;
        esac
        path=${link%%#*}
        anchor=""
        [ "$path" != "$link" ] && anchor=${link#*#}
        target=$md
        [ -n "$path" ] && target=$dir/$path
        if [ ! -e "$target" ]; then
            echo "FAIL: $md links to $link: no such file"
            status=1
        elif [ -n "$anchor" ] && ! anchors "$target" | grep -qx -- "$anchor"; then
            echo "FAIL: $md links to $link: no such heading in $target"
            status=1
        fi
    done
done
[ $status -eq 0 ] && echo "links of $*: every one resolves"
exit $status
