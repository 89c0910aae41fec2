#!/bin/sh
# Prepares a virtual machine of the VM suite, for one of two guests:
#   amd64: an emulated PC with a second 16550A UART and an FTDI adapter
#   arm64: QEMU's arm64 `virt` board, whose UART is a PL011
# For either:
#   - Debian's own kernel (the image package linux-image-ARCH depends on),
#     fetched with apt-get download into a cache outside the tree, its SHA256
#     checked against apt's metadata, unpacked there (never installed);
#   - a tiny busybox initramfs with the programs under test and the shared
#     libraries they load, the guest helper and the init script; for amd64
#     the USB-serial modules and the host's static busybox, for arm64
#     Debian's arm64 busybox-static, fetched as the kernel is (apt needs the
#     arm64 architecture: dpkg --add-architecture arm64 && apt-get update).
#
#   prepare.sh ARCH CACHE_DIR OUT_DIR INIT_SCRIPT PROGRAM...
#
# Writes OUT_DIR/vmlinuz and OUT_DIR/initramfs.cpio. Exits 77 (after saying
# why) when something the VM suite needs cannot be had here, 1 on other errors.
set -eu

arch=$1
cache=$2
out=$3
init=$4
shift 4

skip() {
    echo "vm suite skipped: $*" >&2
    exit 77
}

case "$arch" in
amd64)
    qemu=qemu-system-x86_64 qemu_pkg=qemu-system-x86 qualifier="" ;;
arm64)
    qemu=qemu-system-aarch64 qemu_pkg=qemu-system-arm qualifier=:arm64 ;;
*)
    echo "prepare.sh: no guest for $arch (amd64 or arm64)" >&2
    exit 1 ;;
esac
command -v $qemu >/dev/null || skip "$qemu not found (package $qemu_pkg)"
command -v apt-cache >/dev/null || skip "apt-cache not found: the kernel comes from Debian's archive"
for prog in "$@"; do
    [ -x "$prog" ] || skip "$prog is not built (make vmcheck builds the $arch programs)"
done

# Fetches Debian's package $1 (name:arch for another architecture) into the
# cache once, checks it and unpacks it (only the paths that follow, when
# some do); sets $tree to where it lies.
fetch() {
    meta=$(apt-cache show --no-all-versions "$1" 2>/dev/null) ||
        skip "apt knows no $1${qualifier:+ (dpkg --add-architecture ${qualifier#:} && apt-get update)}"
    version=$(printf '%s\n' "$meta" | sed -n 's/^Version: //p' | head -n 1)
    size=$(printf '%s\n' "$meta" | sed -n 's/^Size: //p' | head -n 1)
    sha=$(printf '%s\n' "$meta" | sed -n 's/^SHA256: //p' | head -n 1)
    file=$(printf '%s\n' "$meta" | sed -n 's/^Filename: //p' | head -n 1)
    [ -n "$version" ] && [ -n "$sha" ] && [ -n "$file" ] || skip "apt has no version or SHA256 for $1"
    mkdir -p "$cache"
    # apt-get download names the file with the version's colon escaped.
    deb="$cache/${1%:*}_$(printf '%s' "$version" | sed 's/:/%3a/')_${file##*_}"
    tree="$cache/${1%:*}-$version"
    [ -f "$tree/.unpacked" ] && return 0
    if [ ! -f "$deb" ] || ! printf '%s  %s\n' "$sha" "$deb" | sha256sum -c --quiet 2>/dev/null; then
        rm -f "$deb"
        echo "vm suite: downloading $1 $version ($(( ${size:-0} / 1000000 )) MB) into $cache, once: later runs take it from there" >&2
        t0=$(date +%s)
        (cd "$cache" && apt-get download "$1" >/dev/null 2>&1) || skip "apt-get download $1 failed"
        echo "vm suite: downloaded in $(( $(date +%s) - t0 )) s" >&2
    fi
    if ! printf '%s  %s\n' "$sha" "$deb" | sha256sum -c --quiet; then
        rm -f "$deb"
        echo "vm suite: $deb does not match the SHA256 apt gives ($sha)" >&2
        exit 1
    fi
    rm -rf "$tree"
    echo "vm suite: unpacking $1 into $tree" >&2
    if [ $# -gt 1 ]; then
        mkdir -p "$tree"
        pkg_name=$1
        shift
        dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$tree" "$@" || { echo "vm suite: $pkg_name lacks $*" >&2; exit 1; }
    else
        dpkg-deb -x "$deb" "$tree"
    fi
    touch "$tree/.unpacked"
}

pkg=$(apt-cache depends "linux-image-$arch$qualifier" 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[^ :]*\).*$/\1/p' | head -n 1)
[ -n "$pkg" ] || skip "apt knows no linux-image-$arch$qualifier (run apt-get update${qualifier:+ after dpkg --add-architecture arm64})"
kver=${pkg#linux-image-}
# The PC guest loads modules from the package; the arm64 guest needs only
# the kernel.
if [ "$arch" = amd64 ]; then
    fetch "$pkg$qualifier"
else
    fetch "$pkg$qualifier" "./boot/vmlinuz-$kver"
fi
kernel_tree=$tree
kernel_version=$version
mkdir -p "$out"
cp "$kernel_tree/boot/vmlinuz-$kver" "$out/vmlinuz"

root="$out/initramfs"
rm -rf "$root"
mkdir -p "$root/bin" "$root/lib/modules" "$root/proc" "$root/sys" "$root/dev" "$root/tmp"
# The host's busybox packs the initramfs, and is the amd64 guest's shell.
busybox=$(command -v busybox || true)
[ -n "$busybox" ] || skip "busybox not found (package busybox-static)"

if [ "$arch" = amd64 ]; then
    # The initramfs has no C library for busybox: it must be the static build.
    if ldd "$busybox" >/dev/null 2>&1; then
        skip "$busybox is linked dynamically; install busybox-static"
    fi
    cp "$busybox" "$root/bin/busybox" # its applets are linked at boot

    # The USB host controller, the USB-serial core and the FTDI driver, in the
    # order insmod needs them (Debian ships them uncompressed).
    kmod="$kernel_tree/lib/modules/$kver/kernel"
    for m in drivers/usb/common/usb-common.ko drivers/usb/core/usbcore.ko \
             drivers/usb/host/xhci-hcd.ko drivers/usb/host/xhci-pci.ko \
             drivers/usb/serial/usbserial.ko drivers/usb/serial/ftdi_sio.ko; do
        [ -f "$kmod/$m" ] || { echo "vm suite: $kmod/$m missing" >&2; exit 1; }
        cp "$kmod/$m" "$root/lib/modules/"
    done
    # The programs run unmodified: the binaries and every shared library they
    # load, at the same paths as on the host.
    for prog in "$@"; do
        cp "$prog" "$root/bin/"
        for lib in $(ldd "$prog" | sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) .*/\1/p'); do
            mkdir -p "$root$(dirname "$lib")"
            cp -L "$lib" "$root$lib"
        done
    done
    mkdir -p "$root/lib64"
else
    # Every driver the guest needs (PL011, the PCI 16550 of its console) is
    # built into Debian's arm64 kernel: no modules.
    fetch "busybox-static$qualifier" ./bin/busybox
    cp "$tree/bin/busybox" "$root/bin/busybox"
    # The programs come from the cross build; their loader and libraries from
    # the cross compiler's arm64 C and C++ runtime, all in /lib, which the
    # loader searches.
    sysroot=/usr/aarch64-linux-gnu/lib
    needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
    want="ld-linux-aarch64.so.1"
    for prog in "$@"; do
        cp "$prog" "$root/bin/"
        want="$want $(needed "$prog")"
    done
    # The libraries those load, and the ones they load in turn.
    while [ -n "$want" ]; do
        next=""
        for lib in $want; do # word splitting wanted: one name a word
            [ -f "$root/lib/$lib" ] && continue
            # The C and C++ libraries come with the cross compiler; nettle
            # (motorbus's SHA-256) is the target's own, installed through
            # multiarch (nettle-dev:arm64).
            from=""
            for dir in $sysroot /usr/lib/aarch64-linux-gnu; do
                [ -f "$dir/$lib" ] && from=$dir/$lib && break
            done
            [ -n "$from" ] || skip "$lib not found in $sysroot or /usr/lib/aarch64-linux-gnu (packages g++-aarch64-linux-gnu, nettle-dev:arm64)"
            cp -L "$from" "$root/lib/"
            next="$next $(needed "$root/lib/$lib")"
        done
        want=$next
    done
fi
cp "$init" "$root/init"
chmod 755 "$root/init"

(cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null) >"$out/initramfs.cpio"
echo "$pkg $kernel_version"
