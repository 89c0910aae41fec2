#!/bin/sh
# A tour of the four tools on a virtual motor bus: no hardware needed.
#   sim/demo.sh BUILD_DIR
set -eu

if [ "${1:-}" = "--steps" ]; then
    # Runs under motorsim: every tool here talks to the same virtual bus.
    image=$2
    dev=$MOTORSIM_DEVICE
    echo
    echo "==> ldrmode: send every motor to its bootloader and list who answers"
    echo "    (about 4 s: one second for the motors to switch, then listening until"
    echo "    the bus has been silent for 3 s)"
    ldrmode "$dev"
    echo
    echo "==> fwburn: flash the $(wc -c < "$image")-byte sample image $image into motor 2"
    echo "    (a few seconds: the motor's reply, then the transfer chunk by chunk; the"
    echo "    bar counts the image's bytes at each chunk's start, so it ends at 99%)"
    fwburn "$dev" "$image" 2
    echo
    echo "==> runmode: start every motor's firmware; motor 3 holds a corrupt image"
    echo "    (about 3 s: up to 100 ms for each answer of ids 0 to 14)"
    runmode "$dev"
    exit 0
fi

build=${1:-build}
bin=$(cd "$build/bin" && pwd)
PATH=$bin:$PATH
export PATH
image=$build/demo-image.bin
# A sample firmware image: 12 KiB of random bytes, kept for the README's examples.
head -c 12288 /dev/urandom > "$image"
echo "Sample firmware image: $image (12288 random bytes)"

echo "A virtual RS-485 bus with three motors: 1 and 2 run their firmware,"
echo "3 sits in its bootloader with a corrupt image."
echo "Starting motorsim; each step below runs against its bus."
motorsim --motor 1:run --motor 2:run --motor 3:boot:corrupt -- sh "$0" --steps "$image"

echo
echo "==> holdoff: flood the bus while motor 4 is powered up, so that it stays in"
echo "    its bootloader; the flood ends after 3 s with an interrupt, as Ctrl+C would"
echo "    (waiting 3 s; motor 4 powers up after 1 s)"
status=0
motorsim --motor 4:on@1000 --sigint 3000 -- holdoff @ || status=$?
echo
# holdoff runs until it is interrupted: ended by SIGINT is its normal end.
[ "$status" -eq 130 ] || { echo "demo: holdoff ended with status $status" >&2; exit 1; }
echo "Demo complete."
