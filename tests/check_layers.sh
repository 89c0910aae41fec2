#!/bin/sh
# The library's layers, lowest first: a file includes headers of its own
# folder and of the folders below it, never of one above it, and every
# header of the library is included with its folder. Every file opens
# with a comment that says what it is. protocol/ and host/
# share the ground floor and include nothing of each other.
#   check_layers.sh LIB_DIR
set -u
lib=$1
status=0
# What each layer may include besides its own folder.
below() {
    case $1 in
    protocol | host) echo "" ;;
    trace) echo "protocol host" ;;
    line) echo "trace protocol host" ;;
    sequences) echo "line trace protocol host" ;;
    *) echo "?" ;;
    esac
}
for dir in "$lib"/*/; do
    layer=$(basename "$dir")
    allowed="$layer $(below "$layer")"
    [ "$(below "$layer")" = "?" ] && { echo "FAIL: lib/$layer is no layer this check knows"; status=1; continue; }
    for file in "$dir"*; do
        # Every file opens with a comment that says what it is.
        head -n 1 "$file" | grep -q '^//' ||
            { echo "FAIL: lib/$layer/$(basename "$file") opens with no comment"; status=1; }
        for inc in $(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file"); do
            folder=${inc%%/*}
            if [ "$folder" = "$inc" ]; then
                echo "FAIL: lib/$layer/$(basename "$file") includes \"$inc\" without its folder"
                status=1
            elif ! printf ' %s ' $allowed | grep -q " $folder "; then
                echo "FAIL: lib/$layer/$(basename "$file") includes $inc, a layer above its own"
                status=1
            fi
        done
    done
done
for file in "$lib"/*; do
    [ -f "$file" ] && [ "$(basename "$file")" != CMakeLists.txt ] &&
        { echo "FAIL: lib/$(basename "$file") belongs in a layer's folder"; status=1; }
done
[ $status -eq 0 ] && echo "lib/: every include points down"
exit $status
