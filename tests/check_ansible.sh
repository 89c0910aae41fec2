#!/bin/sh
# Runs the Ansible playbook docs/ansible/motorbus-upgrade.yml as a fleet's
# controller would, against localhost (local connection) whose machine is
# simulated by motorsim: a healthy machine passes and its report and flash
# history are gathered; a machine with a motor that fails is failed, and its
# report and history are gathered all the same. Each play runs as a user runs
# it, from a folder of its own with nothing made beforehand, the image named
# relative to it: the healthy one with the default report_dir (reports, in
# that folder), the failed one with a report_dir two folders down.
#
#   check_ansible.sh SOURCE_DIR BUILD_DIR
#
# Exits 77 (skipped) when ansible-playbook is not installed, but in CI
# (CI=true), where .ci/deps --test installs it: there that is a failure.
set -u
src=$1
build=$(cd "$2" && pwd)
if [ -n "${MOTORBUS_EMULATOR:-}" ]; then
    # The playbook's shell starts motorsim itself, from the host's shell.
    echo "the playbook's shell would start the target's programs, which run here only through $MOTORBUS_EMULATOR: skipped"
    exit 77
fi
if ! command -v ansible-playbook >/dev/null 2>&1; then
    if [ "${CI:-}" = true ]; then
        echo "FAIL: ansible-playbook is not installed (package ansible-core; .ci/deps --test)"
        exit 1
    fi
    echo "ansible-playbook is not installed: skipped"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'localhost ansible_connection=local ansible_python_interpreter=auto_silent\n' >"$work/hosts"
head -c 3000 /dev/urandom >"$work/image.bin"
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_LOCAL_TEMP="$work/tmp" \
    ANSIBLE_REMOTE_TEMP="$work/tmp" ANSIBLE_HOME="$work/ansible"
# The machine's flash history, in a folder of this check's own.
export XDG_STATE_HOME="$work/state"

# play NAME VARIABLES MACHINE...: the playbook, run from the empty folder
# $work/NAME with the extra VARIABLES (-e), on a machine motorsim makes of
# MACHINE.
play() {
    name=$1 vars=$2
    shift 2
    mkdir "$work/$name"
    (cd "$work/$name" && ansible-playbook -i "$work/hosts" "$src/docs/ansible/motorbus-upgrade.yml" \
        -e image=../image.bin -e "buses='@1 @2'" ${vars:+-e "$vars"} \
        -e "motorbus_command='$build/bin/motorsim --quiet $* -- $build/bin/motorbus'") \
        >"$work/$name.log" 2>&1
}

status=0
if ! play healthy "" --motor 1 --motor 2 --bus --motor 3; then
    echo "FAIL: the playbook failed a healthy machine"
    tail -n 20 "$work/healthy.log"
    status=1
fi
if ! tail -n 1 "$work/healthy/reports/localhost.jsonl" | grep -q '"type":"summary".*"flashed":3,"failed":0'; then
    echo "FAIL: the healthy machine's report was not gathered whole"
    status=1
fi
if [ "$(grep -c '"type":"flash".*"ok":true' "$work/healthy/reports/localhost.history.jsonl")" -ne 3 ]; then
    echo "FAIL: the healthy machine's history does not hold its three flashes"
    status=1
fi
if play broken "report_dir=fleet/today" --motor 1 --fault 1:data@3x3:refuse --bus --motor 3; then
    echo "FAIL: the playbook passed a machine on which a motor failed"
    status=1
fi
if ! grep -q "motors failed" "$work/broken.log" ||
    ! tail -n 1 "$work/broken/fleet/today/localhost.jsonl" | grep -q '"type":"summary".*"failed":1' ||
    ! grep -q '"motor":1,.*"result":"chunk-refused","ok":false' "$work/broken/fleet/today/localhost.history.jsonl"; then
    echo "FAIL: the failed machine was not named, or its report not gathered"
    tail -n 20 "$work/broken.log"
    status=1
fi
[ $status -eq 0 ] && echo "ansible: a healthy machine passes, a failed one fails, both reports and histories gathered"
exit $status
