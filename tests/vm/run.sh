#!/bin/sh
# Runs the VM bench: prepares the kernel and the initramfs, then boots the
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
bench=$4
shift 4
here=$(dirname "$0")
sh "$here/prepare.sh" "$cache" "$image" "$init" "$@"
rc=$?
if [ $rc -eq 77 ] && [ "${CI:-}" = true ]; then
    echo "vm bench: CI=true, so the bench must run" >&2
    exit 1
fi
[ $rc -eq 0 ] || exit $rc
exec "$bench" "$image/vmlinuz" "$image/initramfs.cpio"
