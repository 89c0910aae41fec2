# Sourced by check_install.sh and check_deb.sh.
#
#   installed_ldrmode PREFIX WORK MOTOR
#
# Runs PREFIX/bin/motorsim --motor MOTOR -- ldrmode @ and checks that the
# installed motorsim found the installed shim and ran the installed ldrmode
# on the simulated motor 3. Under a cross build MOTORBUS_EMULATOR holds the
# emulator's command: motorsim is started through it, and starts ldrmode
# through it in turn. Calls fail (defined by the caller) with what it saw.
installed_ldrmode() {
    # shellcheck disable=SC2086 # the emulator's command is split into words
    out=$(${MOTORBUS_EMULATOR:-} "$1/bin/motorsim" --motor "$3" -- ldrmode @ 2>"$2/account")
    rc=$?
    if [ $rc -ne 0 ] ||
        ! printf '%s\n' "$out" | grep -qx '1.Motor ID 3' ||
        ! printf '%s\n' "$out" | grep -qx 'Total 1 motors' ||
        ! grep -qF "[motorsim] $1/bin/ldrmode exited with status 0" "$2/account"; then
        fail "installed motorsim --motor $3 -- ldrmode @ (status $rc) printed:"
        printf '%s\n' "$out"
        cat "$2/account"
    fi
}
