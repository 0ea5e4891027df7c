#!/usr/bin/env bash
# Measures videos in one run, on a 10 s 1080p HEVC clip (made once per run, with sound):
#   - time to its thumbnail, first (ffprobe and ffmpeg children) and cached,
#   - play=1: time to the first byte, and to the first playable second (the bytes that hold one
#     second of video, counted by ffprobe on what arrived),
#   - transcoding speed as a multiple of real time at 1080p and at 720p (the stream's own ffmpeg
#     arguments, on the whole clip),
#   - a 30 KB file's requests/s alone and while one stream runs (how much the rest slows).
# Target: transcoding at least 1.0x real time at the size the stream picks (1080p for this clip).
# Everything stays on 127.0.0.1 and in a private temporary folder; every load is bounded in time.
set -euo pipefail
cd "$(dirname "$0")/.."

. bench/common.sh
bench_requires ffmpeg ffprobe curl wrk
serve_pid=""
bench_sandbox brightloom-bench-videos
cleanup() {
    [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null || true
    sleep 0.5
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/share"
ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=1920x1080:rate=30 -f lavfi -i sine=sample_rate=48000 -t 10 \
    -c:v libx265 -preset ultrafast -x265-params log-level=error -tag:v hvc1 -pix_fmt yuv420p -c:a ac3 \
    "$work/share/clip.mov"
head -c 30000 /dev/urandom > "$work/share/small.bin"
bench_serve "$work/share"
base="http://127.0.0.1:$port/bench"

seconds() { curl -s -o "${2:-/dev/null}" -w '%{time_total}' --max-time 60 "$1"; }
echo "thumbnail, first:  $(seconds "$base/clip.mov?thumb=1") s"
echo "thumbnail, cached: $(seconds "$base/clip.mov?thumb=1") s"

curl -s -o "$work/stream.mp4" -w 'play=1 first byte: %{time_starttransfer} s, whole 10 s clip: %{time_total} s\n' \
    --max-time 120 "$base/clip.mov?play=1"
# The first playable second: how far into the download the first second's last frame arrived.
first_second=$(ffprobe -v error -select_streams v -show_entries packet=pts_time,pos -of csv=p=0 "$work/stream.mp4" |
    awk -F, '$1 >= 1.0 && !done { print $2; done = 1 }')
total=$(stat -c %s "$work/stream.mp4")
echo "play=1 first playable second at byte $first_second of $total"

for height in 1080 720; do
    start=$(date +%s.%N)
    ffmpeg -v error -nostdin -i "$work/share/clip.mov" -c:v libx264 -preset veryfast -profile:v high \
        -pix_fmt yuv420p -vf "scale=-2:$height" -g 60 -c:a aac -ac 2 -b:a 160k -f mp4 \
        -movflags frag_keyframe+empty_moov+default_base_moof -y /dev/null
    end=$(date +%s.%N)
    echo "transcoding at ${height}p: $(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f", 10 / (e - s) }')x real time"
done

rps() { wrk -t1 -c8 -d5s -H 'Connection: close' "$base/small.bin" | awk '/Requests\/sec/ { print $2 }'; }
echo "30 KB file alone:           $(rps) requests/s"
curl -s -o /dev/null --max-time 30 --limit-rate 400k "$base/clip.mov?play=1" &
stream=$!
sleep 1
echo "30 KB file with one stream: $(rps) requests/s"
kill "$stream" 2>/dev/null || true
wait "$stream" 2>/dev/null || true
