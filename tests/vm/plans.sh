# Shared by the plans: each run of the box program gets a directory under /out with its
# exit status, what it printed, and the framebuffer's state before and after it.
. /machine.env

# Records /dev/adsp into DIR/capture.raw (log: DIR/capture.log) from now on. The
# capture side is open before the show opens /dev/dsp.
capture_start() {
    mkdir -p "$1"
    vmtool capture "$1/capture.raw" "$1/capture.log" &
    capture_pid=$!
    sleep 0.2
}

capture_end() {
    sleep 0.5
    kill "$capture_pid"
    wait "$capture_pid"
}

# A fresh framebuffer where vfb is a module: reloaded with the video memory the machine
# booted with, the console let go of it meanwhile, as the box has it at boot. A display
# built in stays as the last run left it.
fresh_framebuffer() {
    if [ -f /sys/module/vfb/initstate ]; then
        echo 0 > /sys/class/vtconsole/vtcon1/bind
        rmmod vfb
        modprobe vfb vfb_enable=1 videomemorysize="$fb_memory"
        echo 1 > /sys/class/vtconsole/vtcon1/bind
    fi
}

# console_cursor 1|0: the console shows its cursor from now on, as on a kernel booted
# without vt.global_cursor_default=0, or hides it, as the VM tests boot it (the reset
# takes the setting).
console_cursor() {
    echo "$1" > /sys/module/vt/parameters/global_cursor_default
    printf '\033c' > /dev/tty0
}

# begin NAME: a fresh framebuffer, its state noted; finish NAME STATUS: the exit
# status and the state left. Each notes the guest's clock (/proc/uptime: seconds since
# boot and seconds idle), which tells what the run cost.
begin() {
    fresh_framebuffer
    mkdir -p "$1"
    vmtool fbstate "$1/fb-before"
    cat /proc/uptime > "$1/uptime-before"
}

finish() {
    cat /proc/uptime > "$1/uptime-after"
    echo "$2" > "$1/status"
    vmtool fbstate "$1/fb-after"
}

# run NAME ARGS...: the box program with ARGS, to its end.
run() {
    name=$1
    shift
    begin "$name"
    demo "$@" > "$name/stdout" 2> "$name/stderr"
    finish "$name" $?
}

# stop_and_continue NAME: `demo 1` with the capture side open, stopped for 0.3 s and
# continued three times inside the fire (8 to 17 s after the start), played to its end.
stop_and_continue() {
    capture_start "$1"
    begin "$1"
    demo 1 > "$1/stdout" 2> "$1/stderr" &
    demo_pid=$!
    sleep 8
    for stop in 1 2 3; do
        kill -STOP "$demo_pid"
        sleep 0.3
        kill -CONT "$demo_pid"
        sleep 4
    done
    wait "$demo_pid"
    finish "$1" $?
    capture_end
}

# trace_demo FILE ARGS...: the box program with ARGS, as packaged (nothing preloaded),
# its calls traced by the kernel into FILE, gzipped (figures.awk reads it): every ioctl and
# write, entry and exit, on the monotonic clock, and what the OSS layer answers an
# output-delay request (odelay) where the kernel lets it be traced. FILE.stats says whether the trace buffer overran.
trace_demo() {
    file=$1
    shift
    t=/sys/kernel/tracing
    if [ ! -f $t/trace ]; then mount -t tracefs tracefs $t; fi
    echo 0 > $t/tracing_on
    echo mono > $t/trace_clock
    # The show polls the sound device thousands of times a second while it waits: half
    # of the memory for the buffer (a quarter overran on MIPS at shift 4).
    awk '/^MemTotal:/ { print int($2 / 2) }' /proc/meminfo > $t/buffer_size_kb
    # The answer in bytes is the result of the OSS layer's frames-to-bytes function
    # (snd_pcm_oss_bytes), where the kernel has it as a function of its own; where it is
    # inlined (Debian's x86-64 kernel) the answer is not traced.
    events="syscalls/sys_enter_ioctl syscalls/sys_exit_ioctl syscalls/sys_enter_write syscalls/sys_exit_write"
    echo > $t/kprobe_events
    # A compiler's copy of it (snd_pcm_oss_bytes.isra.0) is probed at its address.
    for at in $(awk '$3 == "snd_pcm_oss_bytes" || $3 ~ /^snd_pcm_oss_bytes\./ { print "0x" $1, $3; exit }' /proc/kallsyms); do
        if echo "r:odelay $at bytes=\$retval:s32" > $t/kprobe_events; then
            events="$events kprobes/odelay"
            break
        fi
    done
    for e in $events; do
        echo 1 > $t/events/$e/enable
    done
    echo > $t/trace
    # Only the program's own calls: its process id is the shell's that execs it.
    sh -c 'echo $$ > /sys/kernel/tracing/set_event_pid && echo 1 > /sys/kernel/tracing/tracing_on && exec demo "$@"' demo "$@"
    trace_status=$?
    echo 0 > $t/tracing_on
    gzip -1 < $t/trace > "$file"
    cat $t/per_cpu/cpu0/stats > "$file.stats"
    cat $t/error_log > "$file.errors"
    return $trace_status
}
