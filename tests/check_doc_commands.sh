#!/bin/sh
# Runs the rehearsals of a guide or man page as a reader would copy them:
# every motorsim command with its command after "--" (in a Markdown code
# block or code span, or on a "$ " line of a man page), plus the lines that
# make the sample image they use ("head -c N /dev/urandom > FILE"), in the
# order the document gives them, in one scratch directory whose build/ holds
# the programs and the demo's sample image, as after the README's two
# commands. Commands for a real adapter are left alone.
#
#   check_doc_commands.sh SOURCE_DIR BUILD_DIR DOC
#
# A command fails when it cannot run as written: a usage error or a
# motorsim failure (status 1 or 2), a command not found (126, 127), a file
# that is not there, a replay that departs from its trace, or no end within
# two minutes. Any other status is the tool's own answer to the rehearsed
# fault and passes.
set -u
src=$1
build=$2
doc=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/build"
ln -s "$(cd "$build/bin" && pwd)" "$scratch/build/bin"
sh "$src/motorsim/demo.sh" --image "$scratch/build/demo-image.bin"

# The commands, one a line.
case "$doc" in
*.md)
    # Lines of ```sh blocks, then code spans of the other lines.
    commands=$(awk '
        /^```/ { block = !block; next }
        block { print; next }
        { while (match($0, /`[^`]+`/)) { print substr($0, RSTART + 1, RLENGTH - 2); $0 = substr($0, RSTART + RLENGTH) } }
    ' "$doc")
    ;;
*)
    # "$ " lines, roff escapes undone; a line whose single quotes are not
    # closed goes on on the next one.
    commands=$(sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\(ba/|/g' -e 's/\\f[BIPR]//g' \
        -e 's/\\e/\\/g' "$doc" | awk -v q="'" '
        held != "" { line = held " " $0 }
        held == "" && /^\$ / { line = substr($0, 3) }
        held == "" && !/^\$ / { next }
        { n = gsub(q, q, line); if (n % 2) { held = line } else { print line; held = "" } }
    ')
    ;;
esac

tab=$(printf '\t')
printf '%s\n' "$commands" | sed "s/^[ $tab]*//" |
    grep -E '^(([A-Z_]+=[^ ]* )*motorsim .* -- |head -c [0-9]+ /dev/urandom > [^ ]+$)' >"$scratch/commands"
[ -s "$scratch/commands" ] || { echo "FAIL: $doc: no rehearsal found"; exit 1; }

# run N COMMAND: runs it in the scratch directory; N.out and N.rc hold what
# it said and its status. holdoff floods until the reader presses Ctrl+C:
# without --sigint it is interrupted after 5 s, as the reader would.
run() {
    limit=120
    case "$2" in
    *holdoff*--sigint* | *--sigint*holdoff*) ;;
    *holdoff*) limit=5 ;;
    esac
    (cd "$scratch" && PATH="$scratch/build/bin:$PATH" timeout -s INT "$limit" sh -c "$2") \
        </dev/null >"$scratch/$1.out" 2>&1
    echo "$? $limit" >"$scratch/$1.rc"
}

# Independent rehearsals run four at a time; a line that makes or reads a
# file the others use (an image, a trace) runs alone, after those before it.
n=0
while IFS= read -r cmd; do
    n=$((n + 1))
    case "$cmd" in
    head\ * | *MOTORBUS_TRACE=* | *--replay*)
        wait
        run $n "$cmd"
        ;;
    *)
        [ $((n % 4)) -eq 0 ] && wait
        run $n "$cmd" &
        ;;
    esac
done <"$scratch/commands"
wait

status=0
n=0
while IFS= read -r cmd; do
    n=$((n + 1))
    read -r rc limit <"$scratch/$n.rc"
    out=$(cat "$scratch/$n.out")
    why=""
    case $rc in
    1 | 2) why="status $rc" ;;
    124) [ "$limit" -eq 5 ] || why="no end within $limit s" ;;
    126 | 127) why="status $rc: not found or not runnable" ;;
    esac
    for bad in "Error in open file" "No such file or directory" "departs from the trace" \
        "Try 'motorsim --help'"; do
        case "$out" in
        *"$bad"*) why="${why:+$why, }it says \"$bad\"" ;;
        esac
    done
    if [ -n "$why" ]; then
        printf 'FAIL: %s: %s\n  %s\n%s\n' "$doc" "$why" "$cmd" "$(printf '%s\n' "$out" | tail -n 5)"
        status=1
    fi
done <"$scratch/commands"
[ $status -eq 0 ] && echo "$doc: all $n rehearsals run as written"
exit $status
