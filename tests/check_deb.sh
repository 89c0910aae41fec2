#!/bin/sh
# Builds the Debian package with CPack into a temporary directory and checks
# its control fields, that it holds every file under /usr where motorsim
# and man expect them, built for the architecture it names, and that lintian
# finds nothing to report (skipped with the reason where lintian is missing,
# except under CI=true); then unpacks it into a scratch root and runs its
# motorsim with its ldrmode there.
#
#   check_deb.sh BUILD_DIR CPACK VERSION TOOL...
#
# TOOL arguments that are empty are ignored (tools not part of this build).
# The package's architecture is DEB_HOST_ARCH (a cross build), else this
# machine's; MOTORBUS_EMULATOR runs the programs of a cross build.
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
*libc6*libnettle8* | *libnettle8*libc6*) ;;
*) fail "Depends is '$(field Depends)', without libc6 and libnettle8 (motorbus's SHA-256)" ;;
esac
arch=${DEB_HOST_ARCH:-$(dpkg --print-architecture)}
[ "$(field Architecture)" = "$arch" ] ||
    fail "Architecture is '$(field Architecture)', expected $arch"
[ -n "$(field Description)" ] || fail "no Description"

dpkg-deb -c "$deb" | awk '{ print $NF }' >"$work/contents"
expect() {
    grep -qx "\./usr/$1" "$work/contents" || fail "the package has no /usr/$1"
}
for tool in "$@"; do
    [ -n "$tool" ] && expect "bin/$tool"
done
# The shim in motorsim's private directory, lib/<triplet>/motorbus.
grep -qx '\./usr/lib/[^/]*/motorbus/libptyserial\.so' "$work/contents" ||
    fail "the package has no /usr/lib/<triplet>/motorbus/libptyserial.so"
for page in fwburn ldrmode runmode holdoff motorbus motorsim; do
    expect "share/man/man1/$page.1.gz"
done
for tool in fwburn ldrmode runmode holdoff motorbus motorsim; do
    expect "share/bash-completion/completions/$tool"
done
expect share/man/man5/motorbus-trace.5.gz
expect share/doc/motorbus/60-motorbus-adapter.rules
expect share/doc/motorbus/copyright
expect share/doc/motorbus/changelog.gz
expect share/doc/motorbus/README.md

# The programs are built for the machine the label names (ELF e_machine).
case "$arch" in
amd64) machine=62 ;;
i386) machine=3 ;;
arm64) machine=183 ;;
armhf | armel) machine=40 ;;
*) machine="" ;;
esac
root=$(mkdir "$work/root" && cd "$work/root" && pwd -P) # motorsim reports its real path
if ! dpkg-deb -x "$deb" "$root"; then
    fail "dpkg-deb -x cannot unpack the package"
else
    for f in "$root"/usr/bin/* "$root"/usr/lib/*/motorbus/libptyserial.so; do
        m=$(od -An -tu2 -j18 -N2 "$f" | tr -d ' ')
        [ -z "$machine" ] || [ "$m" = "$machine" ] ||
            fail "${f#"$root"} is built for ELF machine $m, not $arch ($machine)"
    done
    . "$(dirname "$0")/installed_ldrmode.sh"
    installed_ldrmode "$root/usr" "$work" 3:boot
fi

# Errors and warnings: none. Info tags (hardening, .comment) are not shown.
if command -v lintian >/dev/null 2>&1; then
    if ! lintian --allow-root "$deb" >"$work/lintian" 2>&1 || [ -s "$work/lintian" ]; then
        fail "lintian reports:" && cat "$work/lintian"
    fi
elif [ "${CI:-}" = true ]; then
    fail "lintian is not installed"
else
    echo "lintian is not installed: the package's lintian check skipped"
fi

if [ $status -ne 0 ]; then
    echo "package contents:"
    cat "$work/contents"
else
    echo "$(basename "$deb"): fields and contents as expected, lintian clean; its motorsim runs its ldrmode"
fi
exit $status
