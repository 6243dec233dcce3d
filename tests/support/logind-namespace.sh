#!/bin/sh
# Runs as the first process of a PID and mount namespace of a test's own, already without
# CAP_SYS_BOOT, and starts systemd-logind there with a private /run and /dev and every other
# mount read-only. The mounts change this namespace's view only: a bind remount changes the
# mount, not the file system under it. Argument: logind's InhibitDelayMaxSec.
set -eu
# First of all, so that util-linux notes nothing in the machine's /run.
mount -n -t tmpfs -o mode=755,nosuid,nodev tmpfs /run
mkdir -p /run/systemd/logind.conf.d
printf '[Login]\nInhibitDelayMaxSec=%s\n' "$1" >/run/systemd/logind.conf.d/50-test.conf
mount -n -t tmpfs -o mode=755,nosuid tmpfs /dev
mknod -m 666 /dev/null c 1 3
# /proc too: root may write /proc/sysrq-trigger, which reboots without CAP_SYS_BOOT.
awk '{ print $5 }' /proc/self/mountinfo | grep -v -e '^/run$' -e '^/dev$' -e '^/dev/' |
    while read -r point; do mount -n -o remount,bind,ro "$point"; done
# Not exec'd: systemd's programs behave differently as a PID 1.
/lib/systemd/systemd-logind &
wait $!
