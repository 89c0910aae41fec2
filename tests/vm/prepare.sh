#!/bin/sh
# Prepares the virtual machine of the VM suite:
#   - Debian's own kernel (the image package linux-image-amd64 depends on),
#     fetched with apt-get download into a cache outside the tree, its SHA256
#     checked against apt's metadata, unpacked there (never installed);
#   - a tiny busybox initramfs with the USB-serial modules, the programs under
#     test with their shared libraries, the guest helper and the init script.
#
#   prepare.sh CACHE_DIR OUT_DIR INIT_SCRIPT PROGRAM...
#
# Writes OUT_DIR/vmlinuz and OUT_DIR/initramfs.cpio. Exits 77 (after saying
# why) when something the VM suite needs cannot be had here, 1 on other errors.
set -eu

cache=$1
out=$2
init=$3
shift 3

skip() {
    echo "vm suite skipped: $*" >&2
    exit 77
}

command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 not found (package qemu-system-x86)"
busybox=$(command -v busybox || true)
[ -n "$busybox" ] || skip "busybox not found (package busybox-static)"
# The initramfs has no C library for busybox: it must be the static build.
if ldd "$busybox" >/dev/null 2>&1; then
    skip "$busybox is linked dynamically; install busybox-static"
fi
command -v apt-cache >/dev/null || skip "apt-cache not found: the kernel comes from Debian's archive"

pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n 1)
[ -n "$pkg" ] || skip "apt knows no linux-image-amd64 (run apt-get update)"
meta=$(apt-cache show --no-all-versions "$pkg")
version=$(printf '%s\n' "$meta" | sed -n 's/^Version: //p' | head -n 1)
size=$(printf '%s\n' "$meta" | sed -n 's/^Size: //p' | head -n 1)
sha=$(printf '%s\n' "$meta" | sed -n 's/^SHA256: //p' | head -n 1)
[ -n "$version" ] && [ -n "$sha" ] || skip "apt has no version or SHA256 for $pkg"

mkdir -p "$cache"
# apt-get download names the file with the version's colon escaped.
deb="$cache/${pkg}_$(printf '%s' "$version" | sed 's/:/%3a/')_amd64.deb"
tree="$cache/$pkg-$version"
if [ ! -f "$tree/.unpacked" ]; then
    if [ ! -f "$deb" ] || ! printf '%s  %s\n' "$sha" "$deb" | sha256sum -c --quiet 2>/dev/null; then
        rm -f "$deb"
        echo "vm suite: downloading Debian's kernel $pkg $version ($(( ${size:-0} / 1000000 )) MB) into $cache, once: later runs take it from there" >&2
        t0=$(date +%s)
        (cd "$cache" && apt-get download "$pkg" >/dev/null 2>&1) || skip "apt-get download $pkg failed"
        echo "vm suite: downloaded in $(( $(date +%s) - t0 )) s" >&2
    fi
    if ! printf '%s  %s\n' "$sha" "$deb" | sha256sum -c --quiet; then
        rm -f "$deb"
        echo "vm suite: $deb does not match the SHA256 apt gives ($sha)" >&2
        exit 1
    fi
    rm -rf "$tree"
    echo "vm suite: unpacking the kernel into $tree" >&2
    dpkg-deb -x "$deb" "$tree"
    touch "$tree/.unpacked"
fi

kver=${pkg#linux-image-}
mkdir -p "$out"
cp "$tree/boot/vmlinuz-$kver" "$out/vmlinuz"

root="$out/initramfs"
rm -rf "$root"
mkdir -p "$root/bin" "$root/lib/modules" "$root/proc" "$root/sys" "$root/dev" "$root/tmp"
cp "$busybox" "$root/bin/busybox"   # its applets are linked at boot

# The USB host controller, the USB-serial core and the FTDI driver, in the
# order insmod needs them (Debian ships them uncompressed).
kmod="$tree/lib/modules/$kver/kernel"
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
cp "$init" "$root/init"
chmod 755 "$root/init"

(cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null) >"$out/initramfs.cpio"
echo "$pkg $version"
