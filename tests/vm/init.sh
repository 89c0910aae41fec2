#!/bin/busybox sh
# /init of the VM suite's initramfs: mounts the kernel's file systems, loads
# the USB-serial drivers where the initramfs has them (the PC guest), then
# runs the commands the host sends over the console, one per line, each
# answered with "@@RC <status>".
export PATH=/bin
# motorbus writes down every flash: in the guest's own folder.
export XDG_STATE_HOME=/tmp/state
/bin/busybox --install -s /bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
exec </dev/ttyS0 >/dev/ttyS0 2>&1
echo 1 >/proc/sys/kernel/printk
# Bytes pass the console unchanged both ways: the host reads output by length.
stty raw -echo -opost
# An ordinary user who may use the adapters, as on a desktop: in group
# dialout, which owns /dev/ttyUSB0 with mode 0660 as udev would set it up.
mkdir -p /etc
echo 'root:x:0:0::/:/bin/sh' >/etc/passwd
echo 'service:x:1000:20::/tmp:/bin/sh' >>/etc/passwd
echo 'root:x:0:' >/etc/group
echo 'dialout:x:20:service' >>/etc/group
if [ -e /lib/modules/ftdi_sio.ko ]; then
    for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
        insmod /lib/modules/$m.ko || echo "@@FAIL insmod $m"
    done
    # The UART at a rate it can run: a program asking for 4,000,000 baud,
    # which the 16550's 1.8432 MHz clock cannot give, leaves it there.
    stty -F /dev/ttyS1 115200
    n=0
    while [ ! -e /dev/ttyUSB0 ] && [ $n -lt 300 ]; do
        sleep 0.1
        n=$((n + 1))
    done
    chgrp dialout /dev/ttyUSB0 && chmod 0660 /dev/ttyUSB0
fi
echo "@@READY"
while IFS= read -r line; do
    eval "$line"
    echo "@@RC $?"
done
poweroff -f
