#!/bin/bash
# Loads the bash completions into a bash without any start-up files and checks
# what they offer for a few command lines.
#   check_completion.sh COMPLETION_FILE
set -u
source "$1" || { echo "FAIL: $1 does not load"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/dev" "$work/img"
touch "$work/dev/ttyUSB0" "$work/dev/ttyACM3" "$work/dev/ttyAMA0" "$work/img/v1.bin" "$work/img/v2.bin" "$work/img/notes.txt"
MOTORBUS_DEVICE_GLOBS="$work/dev/ttyUSB* $work/dev/ttyACM* $work/dev/by-id/*"
MOTORBUS_UART_GLOBS="$work/dev/ttyAMA*"
# An installed ldrmode on the PATH: offered once all the same.
mkdir "$work/bin" && printf '#!/bin/sh\n' >"$work/bin/ldrmode" && chmod +x "$work/bin/ldrmode"
PATH=$work/bin:$PATH
cd "$work/img" || exit 1

status=0
# expect LINE WANT: completing at the end of LINE offers exactly WANT
# (candidates sorted, separated by spaces).
expect() {
    local line=$1 want=$2 registered fn got
    read -ra words <<<"$line"
    registered=$(complete -p "${words[0]}" 2>/dev/null) || { echo "FAIL: no completion for ${words[0]}"; status=1; return; }
    fn=${registered#*-F }
    fn=${fn%% *}
    COMP_LINE=$line COMP_POINT=${#line}
    COMPREPLY=()
    "$fn"
    got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ')
    got=${got% }
    if [ "$got" != "$want" ]; then
        echo "FAIL: '$line' offers '$got', expected '$want'"
        status=1
    fi
}

d=$work/dev
for tool in fwburn ldrmode runmode holdoff; do
    expect "$tool " "$d/ttyACM3 $d/ttyUSB0"
done
expect "fwburn $d/ttyU" "$d/ttyUSB0"
expect "fwburn $d/ttyUSB0 " "v1.bin v2.bin"
expect "fwburn $d/ttyUSB0 n" "notes.txt"
expect "fwburn $d/ttyUSB0 v" "v1.bin v2.bin"
expect "fwburn $d/ttyUSB0 v1.bin 1" "1 10 11 12 13 14"
expect "fwburn $d/ttyUSB0 v1.bin " "0 1 10 11 12 13 14 2 3 4 5 6 7 8 9"
expect "ldrmode $d/ttyUSB0 " ""
expect "holdoff --" "--help --version"
expect "motorbus " "doctor health history rescue rs485 scan upgrade"
expect "motorbus rescue --hold 30 " "v1.bin v2.bin"
expect "motorbus rescue --" "--hold --json"
expect "motorbus rescue --hold " ""
expect "motorbus history --" "--all --json"
expect "motorbus doctor " "$d/ttyACM3 $d/ttyUSB0"
expect "motorbus --json upgrade " "v1.bin v2.bin"
expect "motorbus upgrade v1.bin $d/ttyUSB0 " "$d/ttyACM3 $d/ttyUSB0"
expect "motorbus --" "--help --json --version"
expect "motorbus scan --" "--json"

expect "motorsim --" "-- --adapter --bus --fault --hangup-after --help --motor --quiet --replay --sigint --stall-after --version"
expect "motorsim --adapter ftdi:" "16 16:ignore-flag"
expect "motorsim --adapter e" "echo echo:damage@"
expect "motorsim --motor 3:b" "boot boot:"
expect "motorsim --motor 3:boot:" "corrupt good none"
expect "motorsim --motor 1" "10: 11: 12: 13: 14: 1:"
expect "motorsim --fault 3:d" "data: data@ download: download@"
expect "motorsim --fault 3:data@10x3:" "badsum corrupt cut= deaf delay= extra= garbage garbage= refuse silent"
expect "motorsim --replay v1" "v1.bin"
expect "motorsim --hangup-after " ""
expect "motorsim --motor 3 -- ldr" "ldrmode"
expect "motorsim --motor 3 -- fwburn " "$d/ttyACM3 $d/ttyUSB0 @"
expect "motorsim --motor 3 -- fwburn @ v1.bin 1" "1 10 11 12 13 14"
expect "motorsim --motor 3 --bus --motor 4 -- motorbus scan @" "1 2"

[ $status -eq 0 ] && echo "completions: every case offers what it should"
exit $status
