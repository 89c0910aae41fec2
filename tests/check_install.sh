#!/bin/sh
# Installs the build into a temporary prefix and checks the tree: every tool
# in bin, the shim in lib/<triplet>/motorbus, the man pages in share/man/man1, the bash
# completions in share/bash-completion/completions, the udev rule and
# README in share/doc/motorbus, nothing else in bin and lib; then runs the
# installed motorsim with the installed ldrmode, which works only if motorsim
# finds the installed shim where it looks for it (../lib/<triplet>/motorbus
# beside bin).
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

# The installed motorsim runs the installed ldrmode on a simulated motor.
. "$(dirname "$0")/installed_ldrmode.sh"
installed_ldrmode "$prefix" "$work" 3

[ $status -eq 0 ] && echo "install tree under a temporary prefix: complete ($tools + shim, 7 man pages, 6 completions, rule, README)"
exit $status
