# By hand (boot.sh): what the framebuffer console does around the show. A mode set
# with the console in text mode and switched to graphics (vmtool modeset), and the
# console's first cell in framebuffer memory watched while `demo 4` runs (vmtool
# watch), with the console's cursor hidden as the VM tests boot it; then, with the
# cursor shown, as on a kernel booted without vt.global_cursor_default=0, the mode set
# again and the cell watched while `demo 4`, `demo 1` and the whole show run.
. /plans.sh

# watched NAME SECONDS ARGS...: the box program with ARGS, stopped after SECONDS, the
# cell watched from half a second before it starts to two seconds after the stop.
watched() {
    name=$1 seconds=$2
    shift 2
    begin "$name"
    vmtool watch "$name/cell" $((seconds + 2)) &
    watch_pid=$!
    sleep 0.5
    demo "$@" > "$name/stdout" 2> "$name/stderr" &
    demo_pid=$!
    sleep "$seconds"
    vmtool stop "$demo_pid" > "$name/stop-time"
    wait "$demo_pid"
    finish "$name" $?
    wait "$watch_pid"
}

begin text
vmtool modeset text/steps
finish text $?
begin graphics
vmtool modeset graphics/steps graphics
finish graphics $?
watched titles-hidden 8 4

console_cursor 1
begin cursor
vmtool modeset cursor/steps
finish cursor $?
watched titles 8 4
watched fire 8 1
watched full 20
