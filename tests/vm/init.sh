#!/bin/busybox sh
# The guest's init: devices, the modules, the plan; its results go onto the result
# disk as a tar, then the machine powers off.
/bin/busybox mkdir -p /usr/bin /sbin /usr/sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# An open of a busy /dev/dsp waits (by default the OSS layer fails it with EBUSY).
modprobe snd-pcm-oss nonblock_open=0
# One substream a side, as on the box: a second open of /dev/dsp finds it busy.
modprobe snd-aloop index=0 pcm_substreams=1
modprobe vfb vfb_enable=1 videomemorysize=4194304
modprobe virtio_pci
modprobe virtio_blk
mdev -s
cd /out
cat /proc/uptime > boot-uptime
sh /plan.sh > plan.log 2>&1
echo $? > finished
cd /
tar -cf /dev/vda -C /out .
sync
poweroff -f
