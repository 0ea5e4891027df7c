#!/usr/bin/env bash
# Measures the web server in one run against nginx (two workers, JSON autoindex, sendfile) and Caddy
# (file_server browse) serving the same folder on other loopback ports:
#   - a 1 GiB download: MB/s (best of three curl runs) and the server's CPU seconds per GiB,
#   - a 206-entry JSON listing: requests/s and the server's CPU microseconds per listing,
#   - a 30 KB file: requests/s,
#   - a 10,000-entry listing: milliseconds for one client alone,
#   - a ninth client's 30 KB file p99 while eight clients fetch the 10,000-entry listing,
#   - memory: idle (VmRSS after start) and peak (VmHWM) over the 1 GiB downloads.
# Every load is one request per connection (Connection: close), eight clients unless said otherwise.
# Targets (against nginx in this same run): download >= 0.9x and CPU per GiB <= 1.2x; listing >= 0.7x
# (and >= 2x Caddy); 30 KB file >= 0.6x; 10,000 entries <= 1.3x the time; ninth client p99 < 50 ms;
# idle < 24 MiB; download peak < 32 MiB. The machine may be shared: only ratios side by side mean much.
# Everything stays on 127.0.0.1 and in a private temporary folder; every load is bounded in time.
# WITH_STREAM=VIDEO keeps a play=1 stream of that video running on our server through every measurement
# (bench/videos.sh: how much one stream slows the rest).
set -euo pipefail
cd "$(dirname "$0")/.."

. bench/common.sh
bench_requires nginx caddy wrk curl perl awk
serve_pid=""
nginx_pid=""
caddy_pid=""
stream_pid=""
bench_sandbox brightloom-bench
cleanup() {
    if [ -n "$stream_pid" ]; then
        pkill -P "$stream_pid" 2>/dev/null || true
        kill "$stream_pid" 2>/dev/null || true
    fi
    [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null || true
    [ -n "$nginx_pid" ] && kill -QUIT "$nginx_pid" 2>/dev/null || true
    [ -n "$caddy_pid" ] && kill "$caddy_pid" 2>/dev/null || true
    sleep 0.5
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/share/listing" "$work/share/many" "$work/nginx" "$work/caddy"
LOAD_SECONDS=${LOAD_SECONDS:-5}

echo "Preparing the folder (1 GiB file, 30 KB file, folders of 206 and 10,000 entries)..."
dd if=/dev/zero of="$work/share/big.bin" bs=1M count=1024 status=none
head -c 30720 /dev/urandom > "$work/share/small.bin"
for i in $(seq 1 200); do printf 'file %d\n' "$i" > "$work/share/listing/file-$i.txt"; done
for i in $(seq 1 6); do mkdir "$work/share/listing/folder-$i"; done
(cd "$work/share/many" && seq -f 'entry-%05g.txt' 1 10000 | xargs touch)
[ -n "${WITH_STREAM:-}" ] && cp "$WITH_STREAM" "$work/share/stream.mov"

bench_serve "$work/share"
ours_pids=$serve_pid

bench_nginx "$work/share"

caddy_port=$(free_port)
cat > "$work/caddy/Caddyfile" <<CONF
{
    admin off
    auto_https off
}
http://127.0.0.1:$caddy_port {
    root * $work/share
    file_server browse
}
CONF
caddy run --config "$work/caddy/Caddyfile" --adapter caddyfile > "$work/caddy/out.log" 2>&1 &
caddy_pid=$!

ours="http://127.0.0.1:$port"
caddy_url="http://127.0.0.1:$caddy_port"
wait_for "$nginx_url/small.bin"
wait_for "$caddy_url/small.bin"
nginx_pids="$nginx_pid $(pgrep -P "$nginx_pid" | tr '\n' ' ')"
caddy_pids=$caddy_pid

sleep 1
idle_ours=$(memory_kib "$ours_pids" VmRSS)
idle_nginx=$(memory_kib "$nginx_pids" VmRSS)
idle_caddy=$(memory_kib "$caddy_pids" VmRSS)

json='Accept: application/json'
if [ -n "${WITH_STREAM:-}" ]; then
    # One visitor watching: a stream after another, each as fast as the transcoder makes it.
    (for _ in $(seq 1 100); do curl -s -o /dev/null --max-time 60 "$ours/bench/stream.mov?play=1" || sleep 0.2; done) &
    stream_pid=$!
    sleep 1
fi
echo "Measuring (about $((12 * LOAD_SECONDS + 40)) s)..."
download "$ours_pids" "$ours/bench/big.bin?download=1"; dl_ours=$mb_per_s cpu_ours=$cpu_per_gib
peak_ours=$(memory_kib "$ours_pids" VmHWM)
download "$nginx_pids" "$nginx_url/big.bin"; dl_nginx=$mb_per_s cpu_nginx=$cpu_per_gib
peak_nginx=$(memory_kib "$nginx_pids" VmHWM)
download "$caddy_pids" "$caddy_url/big.bin"; dl_caddy=$mb_per_s cpu_caddy=$cpu_per_gib
peak_caddy=$(memory_kib "$caddy_pids" VmHWM)

load "$ours_pids" "$ours/__browse/bench?path=listing" 8; list_ours=$per_s lcpu_ours=$cpu_per_request
load "$nginx_pids" "$nginx_url/listing/" 8; list_nginx=$per_s lcpu_nginx=$cpu_per_request
load "$caddy_pids" "$caddy_url/listing/" 8 "$json"; list_caddy=$per_s lcpu_caddy=$cpu_per_request

load "$ours_pids" "$ours/bench/small.bin?download=1" 8; small_ours=$per_s
load "$nginx_pids" "$nginx_url/small.bin" 8; small_nginx=$per_s
load "$caddy_pids" "$caddy_url/small.bin" 8; small_caddy=$per_s

many_ours=$(single_ms "$ours/__browse/bench?path=many")
many_nginx=$(single_ms "$nginx_url/many/")
many_caddy=$(single_ms "$caddy_url/many/" "$json")

p99_ours=$(ninth_p99 "$ours/__browse/bench?path=many" "$ours/bench/small.bin?download=1")
p99_nginx=$(ninth_p99 "$nginx_url/many/" "$nginx_url/small.bin")
p99_caddy=$(ninth_p99 "$caddy_url/many/" "$caddy_url/small.bin" "$json")

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
row() { printf '%-44s %10s %10s %10s %8s\n' "$1" "$2" "$3" "$4" "$(ratio "$2" "$3")"; }

echo
printf '%-44s %10s %10s %10s %8s\n' "figure" "ours" "nginx" "Caddy" "ours/ngx"
row "1 GiB download, MB/s (best of 3)" "$dl_ours" "$dl_nginx" "$dl_caddy"
row "server CPU per GiB downloaded, s" "$cpu_ours" "$cpu_nginx" "$cpu_caddy"
row "206-entry JSON listing, requests/s" "$list_ours" "$list_nginx" "$list_caddy"
row "server CPU per listing, us" "$lcpu_ours" "$lcpu_nginx" "$lcpu_caddy"
row "30 KB file, requests/s" "$small_ours" "$small_nginx" "$small_caddy"
row "10,000-entry listing, ms (one client)" "$many_ours" "$many_nginx" "$many_caddy"
row "9th client 30 KB p99 under 8 listings, ms" "$p99_ours" "$p99_nginx" "$p99_caddy"
row "idle memory, MiB" "$(mib "$idle_ours")" "$(mib "$idle_nginx")" "$(mib "$idle_caddy")"
row "peak memory in the 1 GiB download, MiB" "$(mib "$peak_ours")" "$(mib "$peak_nginx")" "$(mib "$peak_caddy")"
echo

status=0
check() {
    if awk "BEGIN { exit !($2) }"; then echo "$1: yes"; else echo "$1: NO"; status=1; fi
}
check "download at least 0.9x nginx" "$dl_ours >= 0.9 * $dl_nginx"
check "CPU per GiB at most 1.2x nginx" "$cpu_ours <= 1.2 * $cpu_nginx"
check "206-entry listing at least 0.7x nginx" "$list_ours >= 0.7 * $list_nginx"
check "206-entry listing at least 2x Caddy" "$list_ours >= 2 * $list_caddy"
check "30 KB file at least 0.6x nginx" "$small_ours >= 0.6 * $small_nginx"
check "10,000-entry listing at most 1.3x nginx's time" "$many_ours <= 1.3 * $many_nginx"
check "ninth client's p99 under 50 ms" "$p99_ours < 50"
check "idle memory under 24 MiB" "$idle_ours < 24 * 1024"
check "peak memory in the download under 32 MiB" "$peak_ours < 32 * 1024"
echo
[ "${BENCH_SKIP_ARCHIVE:-0}" = 1 ] || BUILD_DIR="$BUILD_DIR" ./bench/archive.sh || status=1
exit $status
