#!/bin/sh
# Runs the rehearsals of a guide or man page as a reader would paste them:
# every motorsim command with its command after "--" (in a Markdown code
# block or code span, or on a "$ " line of a man page), plus the lines that
# make the sample image they use ("head -c N /dev/urandom > FILE"), in a
# scratch directory whose build/ holds the programs and the demo's sample
# image, as after the README's two commands. A man page's examples (each
# .EX block) are pasted one at a time, out of context: each runs in a
# directory of its own, so one that uses a file only an earlier one makes
# fails. A guide is read in order: its examples (code blocks and spans)
# share one directory, and one that makes or reads a file the others use
# (an image, a trace) runs alone, after those before it. Commands for a
# real adapter are left alone.
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
bin=$(cd "$build/bin" && pwd)
sh "$src/motorsim/demo.sh" --image "$scratch/demo-image.bin"

# The commands, one a line, each example ended by a line "@@".
case "$doc" in
*.md)
    # Lines of ```sh blocks, then code spans of the other lines, each its own example.
    commands=$(awk '
        /^```/ { if (block) print "@@"; block = !block; next }
        block { print; next }
        { while (match($0, /`[^`]+`/)) { print substr($0, RSTART + 1, RLENGTH - 2); print "@@"; $0 = substr($0, RSTART + RLENGTH) } }
    ' "$doc")
    ;;
*)
    # "$ " lines, roff escapes undone; a line whose single quotes are not
    # closed goes on on the next one. An example ends at .EE, and a "$ "
    # line outside one is an example of its own.
    commands=$(sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\(ba/|/g' -e 's/\\f[BIPR]//g' \
        -e 's/\\e/\\/g' "$doc" | awk -v q="'" '
        /^\.EX/ { example = 1; next }
        /^\.EE/ { example = 0; print "@@"; next }
        held != "" { line = held " " $0 }
        held == "" && /^\$ / { line = substr($0, 3) }
        held == "" && !/^\$ / { next }
        { n = gsub(q, q, line); if (n % 2) { held = line } else { print line; held = ""; if (!example) print "@@" } }
    ')
    ;;
esac

# "EXAMPLE<tab>COMMAND", one a line: the rehearsals and the lines that make
# their image, numbered by example.
tab=$(printf '\t')
printf '%s\n' "$commands" | sed "s/^[ $tab]*//" |
    grep -E '^(@@$|([A-Z_]+=[^ ]* )*motorsim( .*)? -- |head -c [0-9]+ /dev/urandom > [^ ]+$)' |
    awk -v t="$tab" '/^@@$/ { ++example; next } { print example t $0 }' >"$scratch/commands"
[ -s "$scratch/commands" ] || { echo "FAIL: $doc: no rehearsal found"; exit 1; }

# run N COMMAND DIR: runs it in DIR; N.out and N.rc hold what it said and
# its status. holdoff floods until the reader presses Ctrl+C: without
# --sigint it is interrupted after 5 s, as the reader would.
run() {
    limit=120
    case "$2" in
    *holdoff*--sigint* | *--sigint*holdoff*) ;;
    *holdoff*) limit=5 ;;
    esac
    (cd "$3" && PATH="$3/build/bin:$PATH" timeout -s INT "$limit" sh -c "$2") \
        </dev/null >"$scratch/$1.out" 2>&1
    echo "$? $limit" >"$scratch/$1.rc"
}

# example K: its commands in turn, in its directory.
case "$doc" in
*.md) shared=1 ;;
*) shared= ;;
esac
example() {
    dir="$scratch/example${shared:-$1}"
    if [ ! -d "$dir" ]; then
        mkdir -p "$dir/build"
        ln -s "$bin" "$dir/build/bin"
        cp "$scratch/demo-image.bin" "$dir/build/demo-image.bin"
    fi
    awk -F "$tab" -v k="$1" '$1 == k { print NR "\t" $2 }' "$scratch/commands" |
        while IFS="$tab" read -r n cmd; do
            run "$n" "$cmd" "$dir"
        done
}

# The examples run four at a time.
k=0
for e in $(cut -f 1 "$scratch/commands" | uniq); do
    k=$((k + 1))
    if [ -n "$shared" ]; then
        case $(awk -F "$tab" -v k="$e" '$1 == k' "$scratch/commands") in
        *"head -c "* | *MOTORBUS_TRACE=* | *--replay*)
            wait
            example "$e"
            continue
            ;;
        esac
    fi
    [ $((k % 4)) -eq 0 ] && wait
    example "$e" &
done
wait

status=0
n=0
while IFS="$tab" read -r _ cmd; do
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
[ $status -eq 0 ] && echo "$doc: all $n rehearsals, in $k examples, run as written, each example alone"
exit $status
