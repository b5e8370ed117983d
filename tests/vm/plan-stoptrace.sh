# The stop-and-continue run (stop_and_continue) traced by the guest's kernel into
# trace.gz: every write call, and kprobes on what the OSS layer, the PCM core and the
# loopback do around each underrun (README.md, "A stale burst before an underrun").
# Run by hand: boot.sh MACHINE CACHE tests/vm/plan-stoptrace.sh OUT PACKAGE VMTOOL.
# The probes read the first three arguments from their registers and the loopback's
# ring positions from struct loopback_pcm (32-bit: pcm_buffer_size at 12, buf_pos at 16).
. /plans.sh
t=/sys/kernel/tracing
if [ ! -f $t/trace ]; then mount -t tracefs tracefs $t; fi
echo 0 > $t/tracing_on
echo mono > $t/trace_clock
awk '/^MemTotal:/ { print int($2 / 3) }' /proc/meminfo > $t/buffer_size_kb
case $(uname -m) in
arm*) a1=%r0 a2=%r1 a3=%r2 a4=%r3 ;;
ppc*) a1=%r3 a2=%r4 a3=%r5 a4=%r6 ;;
mips*) a1=%r4 a2=%r5 a3=%r6 a4=%r7 ;;
esac
echo > $t/kprobe_events
for probe in \
    "p:sil snd_pcm_playback_silence ss=$a1:x32 new_hw=$a2:u32" \
    "p:setsil snd_pcm_format_set_silence data=$a2:x32 samples=$a3:u32" \
    "p:xrun __snd_pcm_xrun ss=$a1:x32" \
    "p:lbprep loopback_prepare ss=$a1:x32" \
    "p:lbtrig loopback_trigger ss=$a1:x32 cmd=$a2:s32" \
    "p:ow3 snd_pcm_oss_write3 ss=$a1:x32 ptr=$a2:x32 frames=$a3:u32" \
    "p:xfer __snd_pcm_lib_xfer ss=$a1:x32 data=$a2:x32 size=$a4:u32" \
    "r:xferret __snd_pcm_lib_xfer ret=\$retval:s32" \
    "p:pe snd_pcm_period_elapsed ss=$a1:x32" \
    "p:copy copy_play_buf bytes=$a3:u32 ppos=+16($a1):u32 psize=+12($a1):u32 cpos=+16($a2):u32" \
    "p:clear clear_capture_buf bytes=$a2:u32 cpos=+16($a1):u32 silent=+20($a1):u32"; do
    echo "$probe" >> $t/kprobe_events || echo "refused: $probe" >> probes.errors
done
for e in $(sed 's,^[^/]*/\([^ ]*\).*,\1,' $t/kprobe_events) ; do echo 1 > $t/events/kprobes/$e/enable; done
echo 1 > $t/events/syscalls/sys_enter_write/enable
echo 1 > $t/events/syscalls/sys_exit_write/enable
echo > $t/trace
echo 1 > $t/tracing_on
stop_and_continue stopcont
echo 0 > $t/tracing_on
gzip -1 < $t/trace > trace.gz
cat $t/per_cpu/cpu0/stats > trace.stats
