#!/usr/bin/env bash
# Measures folder archives, which the server writes while it sends them:
#   - time to the first byte of the archive of a 5 GiB folder (real random data for its photos, sparse
#     files for the bulk of its videos), to its head and to its first 64 KiB; target under 1 s,
#   - the server's peak memory (VmHWM) and its resident memory sampled while that archive is sent in
#     full; target under 64 MiB, and no growth along the archive,
#   - bytes in the temporary folder while it is sent; target none beyond a few KiB,
#   - the time to archive 200 MiB of photos and videos against `zip -r -q -n <stored suffixes>`
#     writing to /dev/null (best of three each); target at most 1.2 times zip's.
# Everything stays on 127.0.0.1 and in a private temporary folder; every run is bounded in time.
set -euo pipefail
cd "$(dirname "$0")/.."

. bench/common.sh
bench_requires curl zip awk du perl
serve_pid=""
bench_sandbox brightloom-archive-bench
cleanup() {
    [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null || true
    sleep 0.3
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/share/big/photos" "$work/share/big/videos" "$work/share/media/photos" "$work/share/media/videos"

echo "Preparing the folders (5 GiB, 200 MiB of photos and videos)..."
# Photos and videos are incompressible: random bytes, stored as they are.
for i in $(seq 1 40); do head -c 4194304 /dev/urandom > "$work/share/media/photos/IMG_$i.jpg"; done
for i in 1 2 3 4; do head -c 10485760 /dev/urandom > "$work/share/media/videos/clip-$i.mp4"; done
for i in 1 2; do head -c 10485760 /dev/urandom > "$work/share/media/videos/clip-$i.MOV"; done
cp -r "$work/share/media/photos" "$work/share/big/"
cp "$work/share/media/videos/"* "$work/share/big/videos/"
for i in 1 2 3 4 5; do truncate -s 1G "$work/share/big/videos/film-$i.mov"; done
# A little of what is deflated.
seq 1 2000000 > "$work/share/big/notes.txt"

bench_serve "$work/share"
ours="http://127.0.0.1:$port"
big_bytes=$(du -sb --apparent-size "$work/share/big" | awk '{ print $1 }')
vm() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$serve_pid/status"; }
seconds_now() { date +%s.%N; }

echo "Measuring..."
# Time to the head, and to the first 64 KiB of the archive after it; then the client hangs up.
read -r head_time first_bytes < <(perl -MIO::Socket::INET -MTime::HiRes=time -e '
    my $start = time;
    my $s = IO::Socket::INET->new(PeerAddr => "127.0.0.1", PeerPort => $ARGV[0], Timeout => 30) or die;
    print $s "GET /bench/big/?download=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    my ($data, $head, $buf) = ("", undef);
    while (sysread($s, $buf, 65536)) {
        $data .= $buf;
        $head //= time if length $data;
        my $end = index($data, "\r\n\r\n");
        if ($end >= 0 && length($data) - $end - 4 >= 65536) { printf "%.3f %.3f\n", $head - $start, time - $start; exit 0 }
        last if time - $start > 30;
    }
    print "99 99\n";' "$port")
sleep 0.5

# The whole 5 GiB archive, with memory and the temporary folder sampled while it is sent.
rss_before=$(vm VmRSS)
# curl fails (18) when a chunked body ends without its last chunk.
(curl -s --max-time 300 -o /dev/null -w '%{size_download} %{time_total} ' "$ours/bench/big/?download=1";
    echo "$?") > "$work/big.out" &
curl_pid=$!
samples="$work/samples"
while kill -0 "$curl_pid" 2>/dev/null; do
    echo "$(vm VmRSS) $(du -sb "$TMPDIR" | awk '{ print $1 }')" >> "$samples"
    sleep 0.2
done
wait "$curl_pid" || true
read -r big_size big_time big_status < "$work/big.out"
peak_kib=$(vm VmHWM)
tmp_base=$(head -n 1 "$samples" | awk '{ print $2 }')
tmp_peak=$(awk -v base="$tmp_base" '{ d = $2 - base; if (d > m) m = d } END { print m + 0 }' "$samples")
# Growth: the resident memory late in the archive against early in it.
rss_growth=$(awk '{ r[NR] = $1 } END { n = NR; a = r[int(n / 10) + 1]; b = r[int(n * 9 / 10) + 1];
    print b - a }' "$samples")

suffixes=".jpg:.jpeg:.png:.gif:.webp:.heic:.heif:.avif:.mp4:.m4v:.mov:.mkv:.webm:.avi:.mp3:.m4a:.aac:.ogg"
suffixes="$suffixes:.opus:.flac:.zip:.gz:.tgz:.bz2:.xz:.zst:.7z:.rar:.jar:.apk:.docx:.xlsx:.pptx:.odt:.ods"
suffixes="$suffixes:.odp:.epub"
best() { sort -n | head -n 1; }
media_bytes=$(find "$work/share/media" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
for _ in 1 2 3; do
    curl -s --max-time 120 -o /dev/null -w '%{time_total} %{size_download}\n' "$ours/bench/media/?download=1" || true
done > "$work/media.out"
media_complete=$(awk -v want="$media_bytes" '$2 >= want' "$work/media.out" | wc -l)
ours_media=$(awk '{ printf "%.3f\n", $1 }' "$work/media.out" | best)
zip_media=$(for _ in 1 2 3; do
    start=$(seconds_now)
    (cd "$work/share" && zip -r -q -n "$suffixes" - media > /dev/null)
    awk -v a="$start" -v b="$(seconds_now)" 'BEGIN { printf "%.3f\n", b - a }'; done | best)

echo
printf '%-52s %14s\n' "measure" "value"
printf '%-52s %14s\n' "5 GiB folder: time to the archive's head" "$head_time s"
printf '%-52s %14s\n' "5 GiB folder: time to its first 64 KiB" "$first_bytes s"
printf '%-52s %14s\n' "5 GiB folder: whole archive" \
    "$(awk -v s="$big_size" -v t="$big_time" 'BEGIN { printf "%.1f GiB in %.1f s", s / 1073741824, t }')"
printf '%-52s %14s\n' "  (folder size)" "$(awk -v s="$big_bytes" 'BEGIN { printf "%.2f GiB", s / 1073741824 }')"
printf '%-52s %14s\n' "brightloom-share peak memory (VmHWM)" "$(awk -v k="$peak_kib" 'BEGIN { printf "%.1f MiB", k / 1024 }')"
printf '%-52s %14s\n' "resident memory growth along the archive" "$(awk -v k="$rss_growth" 'BEGIN { printf "%.1f MiB", k / 1024 }')"
printf '%-52s %14s\n' "  (resident before it)" "$(awk -v k="$rss_before" 'BEGIN { printf "%.1f MiB", k / 1024 }')"
printf '%-52s %14s\n' "temporary-folder bytes while it is sent" "$tmp_peak B"
printf '%-52s %14s\n' "200 MiB photos and videos: brightloom-share (best of 3)" "$ours_media s"
printf '%-52s %14s\n' "200 MiB photos and videos: zip -r -q -n (best of 3)" "$zip_media s"
ratio=$(awk -v a="$ours_media" -v b="$zip_media" 'BEGIN { printf "%.2f", a / b }')
printf '%-52s %14s\n' "  ratio" "$ratio"
echo
status=0
check() { if awk "BEGIN { exit !($2) }"; then echo "$1: yes"; else echo "$1: NO"; status=1; fi; }
check "first archive bytes under 1 s" "$first_bytes < 1"
check "peak memory under 64 MiB" "$peak_kib < 64 * 1024"
check "no memory growth along the archive (under 4 MiB)" "$rss_growth < 4 * 1024"
check "temporary folder: nothing beyond a few KiB" "$tmp_peak < 8192"
check "photos and videos: at most 1.2 times zip's time" "$ratio <= 1.2"
check "the whole 5 GiB archive arrived" "$big_status == 0"
check "every photos-and-videos archive arrived" "$media_complete == 3"
exit $status
