# The slow-box figures from the kernel's trace of one run of the box program
# (trace_demo in plans.sh): its ioctl and write calls, entry and exit, and the bytes of
# each output-delay answer of the OSS layer. Prints one line:
#
#   fire=F zoomer=Z threedee=T titles=E    pans a second in each effect's steady part
#   min_odelay=B                           the smallest SNDCTL_DSP_GETODELAY answer
#                                          (n/a where the trace has no answers)
#   max_gap_us=G at_frame=N                the longest time between two sound-device
#                                          calls, and the frame counter then
#   dry=D                                  output-delay answers of 0 (the device ran dry)
#   frames=N                               bursts written
#
#   awk -v start=FRAME -f figures.awk TRACE
#
# A call counts when it returns. The sound device is the descriptor of the first OSS
# request ('P'); only what happens between the first and the last write to it counts
# (before the first the device is empty by nature, after the last it drains). The frame
# counter is the bursts written (6144 bytes each) plus START, the frame a later start
# section skips to (1226 for section 2).
function hex(s,    n, i) {
    sub(/^0x/, "", s)
    n = 0
    for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
    return n
}
function frame() { return start + int(written / 6144) }
function dsp_call(t) {
    if (written > 0 && t - last_call > pending_gap) pending_gap = t - last_call
    last_call = t
}
function note_write(count) {
    if (written > 0) {
        if (pending_gap > max_gap) { max_gap = pending_gap; max_gap_frame = frame() }
        if (pending_min >= 0 && (min_odelay < 0 || pending_min < min_odelay)) min_odelay = pending_min
        dry += pending_dry
    }
    pending_gap = 0; pending_min = -1; pending_dry = 0
    written += count
}
function note_pan(t,    f, w) {
    f = frame()
    for (w = 1; w <= 4; w++) {
        if (f < from[w] || f >= to[w]) continue
        if (pans[w]++ == 0) first[w] = t
        last[w] = t
    }
}
BEGIN {
    # Each effect's steady part in frames of the main soundtrack: clear of the fades and
    # of the set-up at its start.
    split("fire zoomer threedee titles", name)
    split("300 1500 2300 5200", from)
    split("1200 2100 5100 6200", to)
    dsp = -1; min_odelay = -1; pending_min = -1
}
# "TASK-PID [CPU] FLAGS SECONDS.MICROSECONDS: EVENT"
match($0, / [0-9]+\.[0-9]+: /) {
    t = int(substr($0, RSTART + 1, RLENGTH - 3) * 1e6 + 0.5)
    event = substr($0, RSTART + RLENGTH)
    if (event ~ /^sys_(ioctl|write)\(/) {
        call = substr(event, 5, index(event, "(") - 5)
        split(substr(event, index(event, "(") + 1), arg, /[:,)] */)
        fd = hex(arg[2]); cmd = hex(arg[4])
        answer = -1
        if (call == "ioctl" && dsp < 0 && int(cmd / 256) % 256 == 80) dsp = fd
    } else if (event ~ /^odelay: /) {
        answer = substr(event, index(event, "bytes=") + 6) + 0
        answers++
    } else if (event ~ /^sys_(ioctl|write) -> /) {
        ret = hex(substr(event, index(event, "-> ") + 3))
        ok = ret < 2147483648
        if (call == "ioctl" && cmd == 17926 && ok && ret == 0) note_pan(t)
        if (fd != dsp) next
        dsp_call(t)
        if (call == "write" && ok && ret > 0) note_write(ret)
        if (call == "ioctl" && cmd % 65536 == 20503 && ok && ret == 0 && written > 0) {
            # No answer traced: the OSS layer answered 0 before computing one.
            if (answer < 0) answer = 0
            if (pending_min < 0 || answer < pending_min) pending_min = answer
            if (answer == 0) pending_dry++
        }
    }
}
END {
    for (w = 1; w <= 4; w++) {
        rate = 0
        if (pans[w] > 1) rate = (pans[w] - 1) / ((last[w] - first[w]) / 1e6)
        printf "%s=%.1f ", name[w], rate
    }
    if (answers == 0) { min_odelay = "n/a"; dry = "n/a" }
    printf "min_odelay=%s max_gap_us=%d at_frame=%d dry=%s frames=%d\n", min_odelay, max_gap, max_gap_frame, dry, frame() - start
}
