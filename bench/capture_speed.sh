#!/bin/bash
# How fast demo-play captures the end titles (section 4) beside ffmpeg encoding the
# same pictures with the same x264 settings (superfast, CRF 20, 2 threads, no
# B-frames), at scale 1 and 4, in turns in one run so that all meet the same load.
# ffmpeg reads a raw file of the capture's own pictures at 640 x 480: the lossless
# master's, converted to 4:2:0 by capture_pictures with the capture's own code, so
# that its encoder gets exactly the pictures demo-play's gets (ffmpeg's own
# conversion smooths the colour: x264 makes 3.5 % fewer bits of those pictures, in
# about the same time). At scale 4 ffmpeg scales them itself (nearest
# neighbour, which costs it about 1.2 ms a picture here, and leaves the colour
# averaged over 2 x 2 box pixels where demo-play's is each pixel's own: not quite the
# same pictures). demo-play also runs the show, decodes its AC-3 and encodes the
# sound as AAC; ffmpeg is timed twice: the pictures alone, and the pictures with the
# sound made as demo-play makes it (the master's AC-3 frames decoded and encoded with
# the same AAC settings). Prints a Markdown table: the best wall and CPU time of each
# over the rounds, the ratios of demo-play's to ffmpeg's, and demo-play's speed in
# times real time.
#
#   bench/capture_speed.sh BUILD [ROUNDS] [SCALES]   (defaults: 2 rounds, scales "1 4")
set -eu
build=$(cd "$1" && pwd)
rounds=${2:-2}
scales=${3:-1 4}
out=$(mktemp -d "${TMPDIR:-/tmp}/capture-speed.XXXXXX")
trap 'rm -rf "$out"' EXIT
play="$build/demo-play"

# The pictures, and the length of the show they make.
"$play" --capture "$out/pictures.mkv" 4 > "$out/summary.txt"
show=$(sed -n 's/.* \([0-9.]*\) s of show made in .*/\1/p' "$out/summary.txt")
ffmpeg -v error -i "$out/pictures.mkv" -map 0:v -fps_mode passthrough -f rawvideo -pix_fmt rgb24 - |
    "$build/bench/capture_pictures" > "$out/pictures.yuv"
pictures=$(($(stat -c %s "$out/pictures.yuv") / (640 * 480 * 3 / 2)))

# timed COMMAND...: "wall cpu" in seconds.
timed() {
    local TIMEFORMAT='%R %U %S'
    { time "$@" > /dev/null 2>&1; } 2>&1 | awk '{ printf "%s %.2f\n", $1, $2 + $3 }'
}
# best OLD NEW: the smaller of two "wall cpu" pairs, each figure on its own.
best() {
    if [ -z "$1" ]; then echo "$2"; else echo "$1 $2" | awk '{ printf "%s %s\n", ($1 < $3 ? $1 : $3), ($2 < $4 ? $2 : $4) }'; fi
}

declare -A play_time ffmpeg_time sound_time
for round in $(seq "$rounds"); do
    for scale in $scales; do
        filter=()
        [ "$scale" = 1 ] || filter=(-vf "scale=$((640 * scale)):$((480 * scale)):flags=neighbor")
        video=(-f rawvideo -pix_fmt yuv420p -s 640x480 -r 50 -i "$out/pictures.yuv")
        x264=("${filter[@]}" -c:v libx264 -preset superfast -crf 20 -threads 2 -bf 0)
        play_time[$scale]=$(best "${play_time[$scale]:-}" "$(timed "$play" --capture "$out/play.mp4" --scale "$scale" 4)")
        ffmpeg_time[$scale]=$(best "${ffmpeg_time[$scale]:-}" "$(timed ffmpeg -v error -y "${video[@]}" "${x264[@]}" -an "$out/ffmpeg.mp4")")
        sound_time[$scale]=$(best "${sound_time[$scale]:-}" "$(timed ffmpeg -v error -y "${video[@]}" -i "$out/pictures.mkv" \
            -map 0:v -map 1:a "${x264[@]}" -c:a aac -aac_coder fast -b:a 192k "$out/ffmpeg.mp4")")
    done
done

echo "Section 4: $show s of show, $pictures pictures; best of $rounds rounds; load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| scale | size | demo-play wall s | CPU s | ffmpeg wall s | CPU s | wall ratio | CPU ratio | ffmpeg with sound wall s | CPU s | wall ratio | CPU ratio | demo-play x real time |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
for scale in $scales; do
    echo "$scale ${play_time[$scale]} ${ffmpeg_time[$scale]} ${sound_time[$scale]} $show" | awk '{
        printf "| %d | %dx%d | %.1f | %.1f | %.1f | %.1f | %.2f | %.2f | %.1f | %.1f | %.2f | %.2f | %.1f |\n",
            $1, 640 * $1, 480 * $1, $2, $3, $4, $5, $2 / $4, $3 / $5, $6, $7, $2 / $6, $3 / $7, $8 / $2 }'
done
