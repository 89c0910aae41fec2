#!/bin/sh
# Installs the build into a temporary prefix and checks the tree: every tool
# in bin, the shim in lib/<triplet>/motorbus, the man pages in share/man/man1, the bash
# completions in share/bash-completion/completions, the udev rule and
# README in share/doc/motorbus, nothing else in bin and lib; then runs the
# installed motorsim with the installed ldrmode, which works only if motorsim
# finds the installed shim where it looks for it (../lib/<triplet>/motorbus
# beside bin). The build tree must hold its programs and man pages as the
# install does, for `man` to find the pages with build/bin on the PATH.
#
#   check_install.sh BUILD_DIR SOURCE_DIR CMAKE TOOL...
#
# TOOL arguments that are empty are ignored (tools not part of this build).
set -u
build=$1 source=$2 cmake=$3
shift 3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$(cd "$work" && pwd -P)/prefix # motorsim reports its real path

status=0
fail() {
    echo "FAIL: $*"
    status=1
}

if ! "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "FAIL: cmake --install failed"
    exit 1
fi

tools=""
for tool in "$@"; do
    [ -n "$tool" ] && tools="$tools $tool"
done

for tool in $tools; do
    if [ ! -f "$prefix/bin/$tool" ] || [ ! -x "$prefix/bin/$tool" ]; then
        fail "bin/$tool is missing or not executable"
    fi
done
shim=$(cd "$prefix" && find lib -name libptyserial.so)
case "$shim" in
lib/*/motorbus/libptyserial.so | lib/motorbus/libptyserial.so) ;;
*) fail "the shim is not (only) in lib/<triplet>/motorbus: '$shim'" ;;
esac

for page in fwburn ldrmode runmode holdoff motorbus motorsim; do
    cmp -s "$source/docs/$page.1" "$prefix/share/man/man1/$page.1" ||
        fail "share/man/man1/$page.1 is missing or differs from docs/$page.1"
done
for tool in fwburn ldrmode runmode holdoff motorbus motorsim; do
    cmp -s "$source/docs/completions/motorbus" "$prefix/share/bash-completion/completions/$tool" ||
        fail "share/bash-completion/completions/$tool is missing or differs"
done
cmp -s "$source/docs/motorbus-trace.5" "$prefix/share/man/man5/motorbus-trace.5" ||
    fail "share/man/man5/motorbus-trace.5 is missing or differs from docs/motorbus-trace.5"
cmp -s "$source/docs/60-motorbus-adapter.rules" \
    "$prefix/share/doc/motorbus/60-motorbus-adapter.rules" ||
    fail "share/doc/motorbus/60-motorbus-adapter.rules is missing or differs"
cmp -s "$source/README.md" "$prefix/share/doc/motorbus/README.md" ||
    fail "share/doc/motorbus/README.md is missing or differs"

# Nothing but the tools and the shim: no test program, no static library.
for f in "$prefix"/bin/* $(find "$prefix/lib" -type f); do
    [ -e "$f" ] || continue
    base=$(basename "$f")
    case " $tools libptyserial.so " in
    *" $base "*) ;;
    *) fail "unexpected file ${f#"$prefix"/}" ;;
    esac
done

# The build tree, put on the PATH as the README does, is laid out as the
# install: build/bin holds the installed programs and no test program, and
# man finds the installed pages beside it, in build/share/man.
built=$(ls "$build/bin" | tr '\n' ' ')
installed=$(ls "$prefix/bin" | tr '\n' ' ')
[ "$built" = "$installed" ] || fail "build/bin holds $built; the install's bin holds $installed"
for page in $(cd "$prefix/share/man" && find . -type f | sort); do
    cmp -s "$prefix/share/man/$page" "$build/share/man/$page" ||
        fail "build/share/man/${page#./} is missing or differs from the installed page"
done
if command -v man >/dev/null 2>&1; then
    for page in man1/fwburn.1 man5/motorbus-trace.5; do
        name=$(basename "$page" | sed 's/\.[0-9]$//')
        found=$(cd / && PATH="$build/bin:/usr/bin:/bin" env -u MANPATH man -w "$name" 2>&1)
        [ "$found" -ef "$build/share/man/$page" ] ||
            fail "with build/bin on the PATH, man -w $name gives '$found', not build/share/man/$page"
    done
fi

# The installed motorsim runs the installed ldrmode on a simulated motor.
. "$(dirname "$0")/installed_ldrmode.sh"
installed_ldrmode "$prefix" "$work" 3

[ $status -eq 0 ] && echo "install tree under a temporary prefix: complete ($tools + shim, 7 man pages, 6 completions, rule, README); the build tree laid out alike"
exit $status
