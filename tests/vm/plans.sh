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

# begin NAME: a fresh framebuffer, its state noted; finish NAME STATUS: the exit
# status and the state left.
begin() {
    fresh_framebuffer
    mkdir -p "$1"
    vmtool fbstate "$1/fb-before"
}

finish() {
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
