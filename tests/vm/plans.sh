# Shared by the plans: each run of the box program gets a directory under /out with its
# exit status, what it printed, and the framebuffer's state before and after it.

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

# run NAME ARGS...: the box program with ARGS, to its end.
run() {
    name=$1
    shift
    mkdir -p "$name"
    vmtool fbstate "$name/fb-before"
    demo "$@" > "$name/stdout" 2> "$name/stderr"
    echo $? > "$name/status"
    vmtool fbstate "$name/fb-after"
}

# Reloads vfb with SIZE bytes of video memory, the console let go of it meanwhile.
reload_vfb() {
    echo 0 > /sys/class/vtconsole/vtcon1/bind
    rmmod vfb
    modprobe vfb vfb_enable=1 videomemorysize="$1"
    echo 1 > /sys/class/vtconsole/vtcon1/bind
}
