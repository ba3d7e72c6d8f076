#!/bin/sh
# Test helper: plays a Tavorin that is a Linux program. Notes in started.log
# beside itself its process id, working directory, the variable
# TAVORIN_TEST_MARK and which of its standard descriptors are open, then
# lingers a while, as a running program does.
fds=
for fd in 0 1 2; do
    [ -e "/proc/$$/fd/$fd" ] && fds="$fds$fd"
done
printf '%s|%s|%s|%s\n' "$$" "$(pwd)" "${TAVORIN_TEST_MARK:-unset}" "$fds" >>"$(dirname "$0")/started.log"
exec sleep 30
