#!/bin/sh
# Runs the VM suite on one guest: prepares its kernel and initramfs, then
# boots it once and runs every check of that guest in it.
#
#   run.sh ARCH CACHE_DIR IMAGE_DIR INIT_SCRIPT TEST_VM PROGRAM...
#
# ARCH is amd64 (the PC) or arm64 (the arm64 board). Where QEMU, busybox,
# the kernel or the programs cannot be had, says why and exits 77 (skipped);
# in CI (CI=true) that is a failure.
set -u
arch=$1
cache=$2
image=$3
init=$4
checks=$5
shift 5
here=$(dirname "$0")
sh "$here/prepare.sh" "$arch" "$cache" "$image" "$init" "$@"
rc=$?
if [ $rc -eq 77 ] && [ "${CI:-}" = true ]; then
    echo "vm suite: CI=true, so the VM suite must run" >&2
    exit 1
fi
[ $rc -eq 0 ] || exit $rc
exec "$checks" "$image/vmlinuz" "$image/initramfs.cpio" "$arch"
