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

# Reloads vfb with SIZE bytes of video memory, the console let go of it meanwhile:
# a framebuffer as the box has it at boot.
reload_vfb() {
    echo 0 > /sys/class/vtconsole/vtcon1/bind
    rmmod vfb
    modprobe vfb vfb_enable=1 videomemorysize="$1"
    echo 1 > /sys/class/vtconsole/vtcon1/bind
}

# begin NAME: a fresh framebuffer of $vfb_memory bytes (default 4194304), its state
# noted; finish NAME STATUS: the exit status and the state left.
begin() {
    reload_vfb "${vfb_memory:-4194304}"
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
