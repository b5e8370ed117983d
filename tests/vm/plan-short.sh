# The short form: the end titles with the loopback's capture side open first and the
# console showing its cursor, the failure exits (but too little video memory:
# plan-smallfb.sh), the show stopped and continued inside the fire, the fire's word
# set-up on the real console, and what a mode set does to the display.
. /plans.sh

# The end titles on a console that shows its cursor, as on a kernel booted without
# vt.global_cursor_default=0, the console's first cell watched from a second after the
# start (the show has hidden the cursor by then) for eight seconds; then hidden again.
console_cursor 1
capture_start titles
begin titles
demo 4 > titles/stdout 2> titles/stderr &
demo_pid=$!
sleep 1
vmtool watch titles/cell 8
wait "$demo_pid"
finish titles $?
capture_end
console_cursor 0

mv /mnt/show.dat /mnt/show.away
run nodata 4
mv /mnt/show.away /mnt/show.dat

mv /dev/dsp /dev/dsp.away
run nodsp 4
mv /dev/dsp.away /dev/dsp

# A program for another CPU: the packaged one with a machine in its ELF header that no
# kernel runs (0x0202 in either byte order). The kernel refuses it before it runs.
begin alien
cp "$(command -v demo)" /tmp/alien
printf '\002\002' | dd of=/tmp/alien bs=1 seek=18 conv=notrunc 2> /dev/null
vmtool exec /tmp/alien 4 > alien/stdout 2> alien/stderr
finish alien $?
rm /tmp/alien

# SIGTERM ten seconds after the start: the fire runs from frame 182 (5.8 s) to 1226.
capture_start sigterm
begin sigterm
demo 1 > sigterm/stdout 2> sigterm/stderr &
demo_pid=$!
sleep 10
vmtool stop "$demo_pid" > sigterm/stop-time
wait "$demo_pid"
finish sigterm $?
capture_end

# SIGTERM while the show waits in open for a busy /dev/dsp, freed a second later.
begin busydsp
exec 3> /dev/dsp
demo 4 > busydsp/stdout 2> busydsp/stderr &
demo_pid=$!
sleep 1
vmtool stop "$demo_pid" > /dev/null
sleep 1
exec 3>&-
wait "$demo_pid"
finish busydsp $?

stop_and_continue stopcont

vmtool words words.bin

# What a mode set does to the display while the console shows text.
fresh_framebuffer
vmtool modeset modeset.txt
