#!/bin/busybox sh
# /init of the test guest: loads the CD path's modules, waits for the
# devices the case names, runs the case, writes /results as a tar archive to
# the raw disk /dev/vda and powers off. The case script /case.sh sets
# `devices` (names under /dev to wait for, besides vda) and defines
# `run_case`, which runs in /results with its output on the console.
/bin/busybox --install -s /bin
export PATH=/bin
# Built without root, the archive has no /dev/console: take it from devtmpfs.
mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t tmpfs -o size=90% tmpfs /tmp

for m in $(cat /lib/modules/order); do
  insmod /lib/modules/$m.ko || echo "guest: insmod $m failed"
done

devices=
. /case.sh

# No udev here: devtmpfs makes the nodes once the drivers have probed.
for d in vda $devices; do
  i=0
  while [ ! -e /dev/$d ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
  [ -e /dev/$d ] || echo "guest: /dev/$d did not appear"
done

mkdir -p /results
cd /results
echo "guest: case starts"
run_case
echo "guest: case ends"
cd /
tar -cf /dev/vda -C /results .
sync
echo "guest: results written"
poweroff -f
