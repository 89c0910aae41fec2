#!/bin/sh
# .ci/deps run by a user who is not root, on a machine without sudo (a fresh
# Debian install): it must say to run it as root or to install sudo and end
# with status 1, not stop at "sudo: command not found" (status 127).
#   check_deps.sh SOURCE_DIR
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A PATH with bash and an id that answers as an ordinary user: no sudo, and
# none of the commands the build set brings.
mkdir "$work/bin"
ln -s "$(command -v bash)" "$work/bin/bash"
printf '#!/bin/sh\ncase "$1" in -u) echo 1000 ;; *) echo newcomer ;; esac\n' >"$work/bin/id"
chmod +x "$work/bin/id"

out=$(PATH="$work/bin" bash "$1/.ci/deps" 2>&1)
rc=$?
status=0
[ $rc -eq 1 ] || { echo "FAIL: status $rc, not 1"; status=1; }
for want in "needs root, and sudo is not installed" "su -c '.ci/deps'" "adduser newcomer sudo"; do
    case "$out" in
    *"$want"*) ;;
    *) echo "FAIL: it does not say \"$want\""; status=1 ;;
    esac
done
case "$out" in
*"command not found"*) echo "FAIL: a command was not found"; status=1 ;;
esac
[ $status -eq 0 ] || printf '%s\n' "$out"
[ $status -eq 0 ] && echo ".ci/deps without root or sudo: says to run it as root or install sudo"
exit $status
