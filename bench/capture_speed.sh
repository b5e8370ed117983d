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
# times real time. On a shared machine one run may take a third longer than the next
# for the same work: a ratio is taken in each round, of runs made side by side, and the
# median of those is the figure to go by.
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
# Each run's figures, a line each: scale, round, what ran (play, ffmpeg, sound), wall, CPU.
times="$out/times.txt"
for round in $(seq "$rounds"); do
    for scale in $scales; do
        filter=()
        [ "$scale" = 1 ] || filter=(-vf "scale=$((640 * scale)):$((480 * scale)):flags=neighbor")
        video=(-f rawvideo -pix_fmt yuv420p -s 640x480 -r 50 -i "$out/pictures.yuv")
        x264=("${filter[@]}" -c:v libx264 -preset superfast -crf 20 -threads 2 -bf 0)
        # The three in turns that start one later each round, so that none always runs
        # first after the others.
        kinds=(play ffmpeg sound)
        for k in 0 1 2; do
            kind=${kinds[$(((k + round) % 3))]}
            case $kind in
            play) figures=$(timed "$play" --capture "$out/play.mp4" --scale "$scale" 4) ;;
            ffmpeg) figures=$(timed ffmpeg -v error -y "${video[@]}" "${x264[@]}" -an "$out/ffmpeg.mp4") ;;
            sound) figures=$(timed ffmpeg -v error -y "${video[@]}" -i "$out/pictures.mkv" \
                -map 0:v -map 1:a "${x264[@]}" -c:a aac -aac_coder fast -b:a 192k "$out/ffmpeg.mp4") ;;
            esac
            echo "$scale $round $kind $figures" >> "$times"
        done
    done
done

echo "Section 4: $show s of show, $pictures pictures; $rounds rounds; load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "Times are the best of the rounds; a ratio is demo-play's to ffmpeg's in the same round, the median over the rounds (the"
echo "ratio of the best times in brackets)."
echo
echo "| scale | size | demo-play wall s | CPU s | ffmpeg wall s | CPU s | wall ratio | CPU ratio | ffmpeg with sound wall s | CPU s | wall ratio | CPU ratio | demo-play x real time |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
for scale in $scales; do
    awk -v scale="$scale" -v show="$show" '
        function median(list, n,    i, j, t) {
            for (i = 2; i <= n; i++) for (j = i; j > 1 && list[j - 1] > list[j]; j--) { t = list[j]; list[j] = list[j - 1]; list[j - 1] = t }
            return n % 2 ? list[(n + 1) / 2] : (list[n / 2] + list[n / 2 + 1]) / 2
        }
        $1 == scale {
            wall[$3, $2] = $4; cpu[$3, $2] = $5; rounds = $2 > rounds ? $2 : rounds
            if (!(($3, "wall") in best) || $4 < best[$3, "wall"]) best[$3, "wall"] = $4
            if (!(($3, "cpu") in best) || $5 < best[$3, "cpu"]) best[$3, "cpu"] = $5
        }
        END {
            for (r = 1; r <= rounds; r++) {
                fw[r] = wall["play", r] / wall["ffmpeg", r]; fc[r] = cpu["play", r] / cpu["ffmpeg", r]
                sw[r] = wall["play", r] / wall["sound", r]; sc[r] = cpu["play", r] / cpu["sound", r]
            }
            printf "| %d | %dx%d | %.1f | %.1f | %.1f | %.1f | %.2f (%.2f) | %.2f (%.2f) | %.1f | %.1f | %.2f (%.2f) | %.2f (%.2f) | %.1f |\n",
                scale, 640 * scale, 480 * scale, best["play", "wall"], best["play", "cpu"], best["ffmpeg", "wall"], best["ffmpeg", "cpu"],
                median(fw, rounds), best["play", "wall"] / best["ffmpeg", "wall"], median(fc, rounds), best["play", "cpu"] / best["ffmpeg", "cpu"],
                best["sound", "wall"], best["sound", "cpu"],
                median(sw, rounds), best["play", "wall"] / best["sound", "wall"], median(sc, rounds), best["play", "cpu"] / best["sound", "cpu"],
                show / best["play", "wall"]
        }' "$times"
done
