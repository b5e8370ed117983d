#!/bin/busybox sh
# The guest's init: devices, the drivers, the plan; its results go onto the result
# disk as a tar, then the machine powers off. machine.env (boot.sh) says which
# display the show gets and what the result disk needs.
/bin/busybox mkdir -p /usr/bin /sbin /usr/sbin
/bin/busybox --install -s
export PATH=/mnt:/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
. /machine.env
if [ -d /lib/modules ]; then
    # An open of a busy /dev/dsp waits (by default the OSS layer fails it with EBUSY).
    modprobe snd-pcm-oss nonblock_open=0
    # One substream a side, as on the box: a second open of /dev/dsp finds it busy.
    modprobe snd-aloop index=0 pcm_substreams=1
    if [ "$display" = vfb ]; then modprobe vfb vfb_enable=1 videomemorysize="$fb_memory"; fi
    for m in $disk_modules; do modprobe "$m"; done
fi
mdev -s
cd /out
cat /proc/uptime > boot-uptime
cat /proc/fb > fb-drivers
sh /plan.sh > plan.log 2>&1
echo $? > finished
cat /proc/uptime > end-uptime
cd /
tar -cf /dev/vda -C /out .
sync
poweroff -f
