#!/bin/sh
# A tour of the four tools on a virtual motor bus, then of motorbus on a
# machine of two buses: no hardware needed.
#   motorsim/demo.sh BUILD_DIR        the tour; leaves BUILD_DIR/demo-image.bin
#   motorsim/demo.sh --image FILE     writes only the sample image
set -eu

# The sample image for the simulated motors, kept for the README's examples:
# 12 KiB of pseudo-random bytes from a fixed seed (the minimal standard
# generator, exact in awk's doubles), the same bytes on every run, so that a
# trace recorded against it still replays after the next demo. A sample, not
# firmware: a real motor must never be flashed with it.
write_image() {
    LC_ALL=C awk 'BEGIN { x = 20240917; for (i = 0; i < 12288; i++) {
        x = (x * 16807) % 2147483647; printf "%c", int(x / 8388608) } }' >"$1"
}

if [ "${1:-}" = "--image" ]; then
    write_image "$2"
    exit 0
fi

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
write_image "$image"
echo "Sample image: $image (12288 bytes of a fixed pattern; a sample, not firmware)"

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

echo
echo "==> motorbus: a whole machine of two buses (motors 1 and 2 on the first, 3 on"
echo "    the second) upgraded in one command, both buses at once, then checked"
echo "    (about 7 s: the broadcast and scan, the flashes, the start of each motor)"
# motorbus writes down every flash: the demo's go to a folder of its own,
# beside its image, never to the history of real motors.
XDG_STATE_HOME=$(cd "$build" && pwd)/demo-state
export XDG_STATE_HOME
rm -rf "$XDG_STATE_HOME"
motorsim --motor 1 --motor 2 --bus --motor 3 -- motorbus upgrade "$image" @1 @2
echo
echo "==> motorbus history: what each motor was given, with the image's SHA-256"
motorbus history
echo "Demo complete."
