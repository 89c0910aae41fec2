#!/bin/sh
# Runs the VM suite: prepares the kernel and the initramfs, then boots the
# VM once and runs every check in it.
#
#   run.sh CACHE_DIR IMAGE_DIR INIT_SCRIPT TEST_VM PROGRAM...
#
# Where QEMU, busybox or the kernel cannot be had, says why and exits 77
# (skipped); in CI (CI=true) that is a failure.
set -u
cache=$1
image=$2
init=$3
checks=$4
shift 4
here=$(dirname "$0")
sh "$here/prepare.sh" "$cache" "$image" "$init" "$@"
rc=$?
if [ $rc -eq 77 ] && [ "${CI:-}" = true ]; then
    echo "vm suite: CI=true, so the VM suite must run" >&2
    exit 1
fi
[ $rc -eq 0 ] || exit $rc
exec "$checks" "$image/vmlinuz" "$image/initramfs.cpio"
