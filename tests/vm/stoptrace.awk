# Reads plan-stoptrace.sh's trace (zcat trace.gz | awk -f stoptrace.awk): at each
# underrun of the show's playback stream, where in the loopback's ring the show's last
# byte went (the OSS layer's transfers since the stream's last prepare) and how far past
# it the loopback's last copy to the capture side reached.
/ow3:/ { split($0, s, "ss="); split(s[2], t, " "); play = t[1] }
/lbprep:/ { if (play == "" || index($0, play)) written = 0 }
/xfer: / { pending = play != "" && index($0, play) }
/xferret:.*snd_pcm_oss_write3/ { if (pending) { split($0, r, "ret="); written += r[2]; pending = 0 } }
/copy:/ {
    split($0, b, "bytes="); split(b[2], n, " ")
    split($0, p, "ppos="); split(p[2], q, " ")
    split($0, z, "psize="); split(z[2], y, " ")
    copied = q[1] + n[1]; ring = y[1]
}
/xrun:/ {
    last = written * 4 % ring
    printf "%s underrun: the show's bytes end at ring byte %d, the copy at %d: %d bytes past them\n", $4, last, copied, copied - last
}
