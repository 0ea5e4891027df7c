#!/usr/bin/env bash
# Measures videos in one run, on a 10 s 1080p HEVC clip with AC-3 sound (made once per run):
#   - time to its thumbnail, first (ffprobe and ffmpeg children) and cached,
#   - play=1: time to the first byte, and to the first playable second (when the bytes that hold the
#     first second of video, found by ffprobe in what arrived, had arrived),
#   - transcoding speed as a multiple of real time: through the server, at the size the stream picks,
#     and with the stream's own encoder settings at 1080p and at 720p,
#   - the serving figures of bench/run.sh (against nginx and Caddy) alone and while one stream runs.
# Target: transcoding at least 1.0x real time at the size the stream picks.
# Everything stays on 127.0.0.1 and in a private temporary folder; every load is bounded in time.
set -euo pipefail
cd "$(dirname "$0")/.."

. bench/common.sh
bench_requires ffmpeg ffprobe curl python3
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
bench_serve "$work/share"
base="http://127.0.0.1:$port/bench"

seconds() { curl -s -o "${2:-/dev/null}" -w '%{time_total}' --max-time 60 "$1"; }
echo "thumbnail, first:  $(seconds "$base/clip.mov?thumb=1") s"
echo "thumbnail, cached: $(seconds "$base/clip.mov?thumb=1") s"

# Reads the whole stream, noting when each chunk arrived; then finds the first second's last byte.
python3 - "$base/clip.mov?play=1" "$work/stream.mp4" <<'PY'
import subprocess, sys, time, urllib.request
url, saved = sys.argv[1], sys.argv[2]
start = time.monotonic()
arrivals, first_byte, received = [], None, 0
with urllib.request.urlopen(url, timeout=60) as answer, open(saved, "wb") as out:
    while chunk := answer.read1(65536):
        now = time.monotonic() - start
        first_byte = first_byte if first_byte is not None else now
        received += len(chunk)
        arrivals.append((received, now))
        out.write(chunk)
        if now > 120:
            sys.exit("stream took too long")
whole = time.monotonic() - start
packets = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                          "packet=pts_time,pos,size", "-of", "csv=p=0", saved],
                         capture_output=True, text=True).stdout.split()
# The end of the last packet of the first second: every frame of it is in by then.
ends = [int(pos) + int(size) for pts, pos, size in (line.split(",")[:3] for line in packets)
        if pts != "N/A" and float(pts) < 1.0]
needed = max(ends)
playable = next(at for count, at in arrivals if count >= needed)
print(f"play=1 first byte: {first_byte:.2f} s, first playable second: {playable:.2f} s")
print(f"transcoding through the server (whole 10 s clip in {whole:.2f} s): {10 / whole:.2f}x real time")
PY
echo "the stream's picture: $(ffprobe -v error -select_streams v -show_entries stream=width,height -of csv=p=0 "$work/stream.mp4")"

for height in 1080 720; do
    start=$(date +%s.%N)
    nice -n 10 ffmpeg -v error -nostdin -i "$work/share/clip.mov" -c:v libx264 -preset ultrafast -profile:v high \
        -pix_fmt yuv420p -vf "scale=-2:$height" -g 60 -c:a aac -ac 2 -b:a 160k -f mp4 \
        -movflags frag_keyframe+empty_moov+default_base_moof -y /dev/null
    end=$(date +%s.%N)
    echo "transcoding at ${height}p: $(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f", 10 / (e - s) }')x real time"
done

echo
echo "Serving figures alone:"
BUILD_DIR="$BUILD_DIR" LOAD_SECONDS="${LOAD_SECONDS:-3}" ./bench/run.sh | sed -n '/^figure/,/^$/p' || true
echo "Serving figures while one stream runs on our server:"
WITH_STREAM="$work/share/clip.mov" BUILD_DIR="$BUILD_DIR" LOAD_SECONDS="${LOAD_SECONDS:-3}" ./bench/run.sh |
    sed -n '/^figure/,/^$/p' || true
