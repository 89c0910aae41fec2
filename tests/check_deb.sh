#!/bin/sh
# Builds the Debian package with CPack into a temporary directory and checks
# its control fields and that it holds every file under /usr where motorsim
# and man expect them.
#
#   check_deb.sh BUILD_DIR CPACK VERSION TOOL...
#
# TOOL arguments that are empty are ignored (tools not part of this build).
# Exits 77 (skipped) where dpkg-deb is not installed.
set -u
build=$1 cpack=$2 version=$3
shift 3

if ! command -v dpkg-deb >/dev/null 2>&1; then
    echo "dpkg-deb is not installed: skipped"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack -G DEB failed"
    exit 1
fi
debs=$(find "$work" -maxdepth 1 -name '*.deb')
if [ "$(printf '%s\n' "$debs" | grep -c '\.deb$')" -ne 1 ]; then
    cat "$work/cpack.log"
    echo "FAIL: expected one .deb in the output, found: $debs"
    exit 1
fi
deb=$debs

status=0
fail() {
    echo "FAIL: $*"
    status=1
}

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = motorbus ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', expected $version"
[ "$(field Section)" = electronics ] || fail "Section is '$(field Section)'"
case "$(field Maintainer)" in
*?" <"*@*">") ;;
*) fail "Maintainer is '$(field Maintainer)', not 'Name <address>'" ;;
esac
case "$(field Depends)" in
*libc6*) ;;
*) fail "Depends is '$(field Depends)', without libc6" ;;
esac
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] ||
    fail "Architecture is '$(field Architecture)'"
[ -n "$(field Description)" ] || fail "no Description"

dpkg-deb -c "$deb" | awk '{ print $NF }' >"$work/contents"
expect() {
    grep -qx "\./usr/$1" "$work/contents" || fail "the package has no /usr/$1"
}
for tool in "$@"; do
    [ -n "$tool" ] && expect "bin/$tool"
done
expect lib/libptyserial.so
for page in fwburn ldrmode runmode holdoff motorsim; do
    expect "share/man/man1/$page.1"
done
for tool in fwburn ldrmode runmode holdoff motorsim; do
    expect "share/bash-completion/completions/$tool"
done
expect share/man/man5/motorbus-trace.5
expect share/doc/motorbus/60-motorbus-adapter.rules
expect share/doc/motorbus/README.md

if [ $status -ne 0 ]; then
    echo "package contents:"
    cat "$work/contents"
else
    echo "$(basename "$deb"): fields and contents as expected"
fi
exit $status
