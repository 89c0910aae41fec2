#!/bin/sh
# Runs the demo to its end and checks that each step did what it says.
#   check_demo.sh SOURCE_DIR BUILD_DIR
set -u
if [ -n "${MOTORBUS_EMULATOR:-}" ]; then
    # The demo's script starts the tools itself, from the host's shell.
    echo "the demo's shell would start the target's programs, which run here only through $MOTORBUS_EMULATOR: skipped"
    exit 77
fi
out=$(sh "$1/motorsim/demo.sh" "$2" 2>&1)
status=$?
printf '%s\n' "$out" | tail -n 25
[ $status -eq 0 ] || { echo "FAIL: the demo ended with status $status"; exit 1; }
for want in "Total 3 motors" "Flash successfully!" "Motor 3 firmware crc check error." \
    "motor 2: running its firmware, image 12288 bytes" "held off at power-up" \
    "upgrade: 3 motor(s), 0 failed, 3 flashed" "flashed            upgrade" "Demo complete."; do
    printf '%s\n' "$out" | grep -qF "$want" || { echo "FAIL: missing: $want"; exit 1; }
done
