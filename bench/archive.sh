#!/usr/bin/env bash
# Measures folder archives in one run, against nginx (sendfile) serving one file of the same size:
#   - a 5 GiB folder of 2,000 photos (2.5 MiB each): time to the archive's head, with its length, and
#     to its first 64 KiB; target under 1 s,
#   - time to the first 64 KiB of a range from the archive's middle, its CRCs kept from an earlier
#     download (warm; target under 1 s) and after a restart without them (cold: reported),
#   - throughput of the whole archive against serving one 5 GiB file (ours and nginx's; target at least
#     0.9x ours) and against `zip -0 -r` of the same folder,
#   - the server's peak memory (VmHWM) and its resident memory along the whole archive: flat,
#   - a 1 GiB part of it downloaded through a proxy that cuts every answer after 64 MiB, resumed with
#     Range and If-Range until whole: the same bytes as a direct download,
#   - the deflated archive (compress=1) of 200 MiB of photos and videos against `zip -r -n`.
# The photos are 20 distinct files of random bytes, each linked 100 times, so that the folder stays
# in the page cache beside the 5 GiB file: throughput compares serving, not the disk.
# BENCH_ARCHIVE_GIB (default 5) sizes the folder and the file, 400 photos per GiB, on a busy machine.
# Everything stays on 127.0.0.1 and in a private temporary folder; every run is bounded in time.
set -euo pipefail
cd "$(dirname "$0")/.."

. bench/common.sh
bench_requires curl zip awk perl python3 nginx
serve_pid=""
nginx_pid=""
bench_sandbox brightloom-archive-bench
cleanup() {
    [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null || true
    [ -n "$nginx_pid" ] && kill -QUIT "$nginx_pid" 2>/dev/null || true
    sleep 0.3
    rm -rf "$work"
}
trap cleanup EXIT
share="$work/share"
mkdir -p "$share/one" "$share/media/photos" "$share/media/videos" "$work/distinct" "$work/nginx"

gib=${BENCH_ARCHIVE_GIB:-5}
echo "Preparing the folders ($gib GiB of $((gib * 400)) photos, one $gib GiB file, 200 MiB of photos and videos)..."
for i in $(seq -w 1 20); do head -c 2621440 /dev/urandom > "$work/distinct/$i.jpg"; done
for set in $(seq 1 "$gib"); do
    mkdir -p "$share/big/set-$set"
    for i in $(seq -w 1 400); do
        ln "$work/distinct/$(printf '%02d' $(( (10#$i + set) % 20 + 1 ))).jpg" "$share/big/set-$set/IMG_$i.jpg"
    done
done
for _ in $(seq 1 $((gib * 20))); do cat "$work/distinct/"*.jpg; done > "$share/one/film.mov"
for i in $(seq 1 40); do head -c 4194304 /dev/urandom > "$share/media/photos/IMG_$i.jpg"; done
for i in 1 2 3 4 5 6; do head -c 10485760 /dev/urandom > "$share/media/videos/clip-$i.mp4"; done

bench_serve "$share"
ours="http://127.0.0.1:$port"
restart() {
    kill "$serve_pid"; wait "$serve_pid" 2>/dev/null || true
    exec 3>&-
    rm -f "$work/serve.in"
    bench_serve "$share"
    ours="http://127.0.0.1:$port"
}
bench_nginx "$share" 64
for _ in $(seq 1 100); do curl -s --max-time 1 -o /dev/null -r 0-0 "http://127.0.0.1:$nginx_port/one/film.mov" && break; sleep 0.1; done

vm() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$serve_pid/status"; }
seconds_now() { date +%s.%N; }
# first_bytes PATH [HEADER]: seconds to the head and to the first 64 KiB of the body, then the client
# hangs up; and the Content-Length the head gave.
first_bytes() {
    perl -MIO::Socket::INET -MTime::HiRes=time -e '
        my $start = time;
        my $s = IO::Socket::INET->new(PeerAddr => "127.0.0.1", PeerPort => $ARGV[0], Timeout => 60) or die;
        print $s "GET $ARGV[1] HTTP/1.1\r\nHost: 127.0.0.1\r\n$ARGV[2]\r\n";
        my ($data, $head, $buf) = ("", undef);
        while (sysread($s, $buf, 65536)) {
            $data .= $buf;
            my $end = index($data, "\r\n\r\n");
            next if $end < 0;
            $head //= time;
            my ($length) = substr($data, 0, $end) =~ /Content-Length: (\d+)/;
            if (length($data) - $end - 4 >= 65536) { printf "%.3f %.3f %s\n", $head - $start, time - $start, $length // "none"; exit 0 }
            last if time - $start > 60;
        }
        print "99 99 none\n";' "$port" "$1" "${2:+$2$'\r\n'}"
}
# fetch URL: seconds and bytes of a whole download (best of two), and curl's status.
fetch() {
    for _ in 1 2; do curl -s --max-time 300 -o /dev/null -w '%{time_total} %{size_download} ' "$1"; echo "$?"; done |
        sort -n | head -n 1
}

echo "Measuring..."
read -r head_time first_time whole_length < <(first_bytes "/bench/big/?download=1")
sleep 0.3

# The whole archive, with the server's memory sampled along it; it leaves every CRC kept.
rss_before=$(vm VmRSS)
(curl -s --max-time 300 -o /dev/null -w '%{size_download} %{time_total} ' "$ours/bench/big/?download=1"; echo "$?") > "$work/big.out" &
curl_pid=$!
while kill -0 "$curl_pid" 2>/dev/null; do vm VmRSS >> "$work/samples"; sleep 0.2; done
wait "$curl_pid" || true
read -r big_size big_time big_status < "$work/big.out"
peak_kib=$(vm VmHWM)
rss_growth=$(awk '{ r[NR] = $1 } END { n = NR; a = r[int(n / 10) + 1]; b = r[int(n * 9 / 10) + 1]; print b - a }' "$work/samples")

read -r archive_time archive_size archive_status < <(fetch "$ours/bench/big/?download=1")
read -r file_time file_size _ < <(fetch "$ours/bench/one/film.mov?download=1")
read -r nginx_time nginx_size _ < <(fetch "http://127.0.0.1:$nginx_port/one/film.mov")
zip_time=$(for _ in 1 2; do
    start=$(seconds_now)
    (cd "$share" && zip -0 -r -q - big > /dev/null)
    awk -v a="$start" -v b="$(seconds_now)" 'BEGIN { printf "%.3f\n", b - a }'; done | sort -n | head -n 1)

middle=$((whole_length / 2))
read -r warm_head warm_first _ < <(first_bytes "/bench/big/?download=1" "Range: bytes=$middle-")
restart
rm -f "$XDG_CACHE_HOME/brightloom Share/checksums"
read -r cold_head cold_first _ < <(first_bytes "/bench/big/?download=1" "Range: bytes=$middle-")

resume=$(python3 bench/resume_through_cuts.py "$port" "/bench/big/set-1/?download=1" 64 240 2>&1 |
    tail -n 1) || true

suffixes=".jpg:.jpeg:.png:.gif:.webp:.heic:.heif:.avif:.mp4:.m4v:.mov:.mkv:.webm:.avi:.mp3:.m4a:.aac:.ogg"
suffixes="$suffixes:.opus:.flac:.zip:.gz:.tgz:.bz2:.xz:.zst:.7z:.rar:.jar:.apk:.docx:.xlsx:.pptx:.odt:.ods"
suffixes="$suffixes:.odp:.epub"
read -r deflated_time _ < <(fetch "$ours/bench/media/?download=1&compress=1")
zip_media=$(for _ in 1 2; do
    start=$(seconds_now)
    (cd "$share" && zip -r -q -n "$suffixes" - media > /dev/null)
    awk -v a="$start" -v b="$(seconds_now)" 'BEGIN { printf "%.3f\n", b - a }'; done | sort -n | head -n 1)

mbs() { awk -v s="$1" -v t="$2" 'BEGIN { printf "%.0f MB/s", s / t / 1000000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo
printf '%-58s %18s\n' "measure" "value"
printf '%-58s %18s\n' "$gib GiB archive: time to its head" "$head_time s"
printf '%-58s %18s\n' "$gib GiB archive: time to its first 64 KiB" "$first_time s"
printf '%-58s %18s\n' "  (Content-Length in the head)" "$whole_length"
printf '%-58s %18s\n' "range from the middle, CRCs kept: head / first 64 KiB" "$warm_head / $warm_first s"
printf '%-58s %18s\n' "range from the middle, cold: head / first 64 KiB" "$cold_head / $cold_first s"
printf '%-58s %18s\n' "whole archive (best of 2)" "$(mbs "$archive_size" "$archive_time")"
printf '%-58s %18s\n' "one $gib GiB file, brightloom-share (best of 2)" "$(mbs "$file_size" "$file_time")"
printf '%-58s %18s\n' "one $gib GiB file, nginx (best of 2)" "$(mbs "$nginx_size" "$nginx_time")"
printf '%-58s %18s\n' "zip -0 -r of the folder (best of 2)" "$(mbs "$archive_size" "$zip_time")"
archive_vs_file=$(ratio "$file_time" "$archive_time")
printf '%-58s %18s\n' "  archive / one file (ours)" "$archive_vs_file"
printf '%-58s %18s\n' "  archive / one file (nginx)" "$(ratio "$nginx_time" "$archive_time")"
printf '%-58s %18s\n' "  archive / zip -0 -r" "$(ratio "$zip_time" "$archive_time")"
printf '%-58s %18s\n' "peak memory (VmHWM)" "$(awk -v k="$peak_kib" 'BEGIN { printf "%.1f MiB", k / 1024 }')"
printf '%-58s %18s\n' "resident memory growth along the archive" "$(awk -v k="$rss_growth" 'BEGIN { printf "%.1f MiB", k / 1024 }')"
printf '%-58s %18s\n' "  (resident before it)" "$(awk -v k="$rss_before" 'BEGIN { printf "%.1f MiB", k / 1024 }')"
printf '%-58s %18s\n' "200 MiB photos and videos, compress=1 (best of 2)" "$deflated_time s"
printf '%-58s %18s\n' "200 MiB photos and videos, zip -r -n (best of 2)" "$zip_media s"
echo "1 GiB through a proxy that cuts every 64 MiB: $resume"
echo
status=0
check() { if awk "BEGIN { exit !($2) }"; then echo "$1: yes"; else echo "$1: NO"; status=1; fi; }
check "first archive bytes under 1 s, with the length in the head" "$first_time < 1 && \"$whole_length\" != \"none\""
check "first bytes of a range from the middle under 1 s (CRCs kept)" "$warm_first < 1"
check "archive at least 0.9 times one file's throughput" "$archive_vs_file >= 0.9"
check "the whole archive arrived" "$big_status == 0 && $big_size == $whole_length && $archive_status == 0"
check "peak memory under 64 MiB" "$peak_kib < 64 * 1024"
check "no memory growth along the archive (under 4 MiB)" "$rss_growth < 4 * 1024"
check "compress=1: at most 1.2 times zip's time" "$(ratio "$deflated_time" "$zip_media") <= 1.2"
check "resumed through the cuts to the same bytes" "\"$(echo "$resume" | cut -c1-10)\" == \"same bytes\""
exit $status
