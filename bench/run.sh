#!/usr/bin/env bash
# Measures the web server against nginx serving the same folder on another loopback port:
#   - download throughput of a 1 GiB file (best of three curl runs each),
#   - requests per second for a folder listing and for the application page (wrk, 5 s each),
#   - the server's peak memory (VmHWM) during the downloads.
# Targets: peak memory under 64 MiB; download throughput at least half of nginx's.
# Everything stays on 127.0.0.1 and in a private temporary folder; every run is bounded in time.
set -euo pipefail
cd "$(dirname "$0")/.."

. bench/common.sh
bench_requires nginx wrk curl perl
serve_pid=""
nginx_pid=""
bench_sandbox brightloom-bench
cleanup() {
    [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null || true
    [ -n "$nginx_pid" ] && kill -QUIT "$nginx_pid" 2>/dev/null || true
    sleep 0.5
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/share/listing" "$work/nginx"

free_port() {
    perl -MIO::Socket::INET -e 'print IO::Socket::INET->new(Listen => 1, LocalAddr => "127.0.0.1", LocalPort => 0)->sockport'
}

echo "Preparing the folder (1 GiB file, 200-entry listing)..."
dd if=/dev/zero of="$work/share/big.bin" bs=1M count=1024 status=none
for i in $(seq 1 200); do printf 'file %d\n' "$i" > "$work/share/listing/file-$i.txt"; done

bench_serve "$work/share"
curl -s --max-time 10 -o "$work/share/app.html" "http://127.0.0.1:$port/bench/"

nginx_port=$(free_port)
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root root;"
cat > "$work/nginx/nginx.conf" <<CONF
$user_line
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 0;
    default_type application/octet-stream;
    types { text/html html; }
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    server {
        listen 127.0.0.1:$nginx_port;
        root $work/share;
        autoindex on;
    }
}
CONF
nginx -e "$work/nginx/error.log" -p "$work/nginx" -c "$work/nginx/nginx.conf" &
nginx_pid=$!
for _ in $(seq 1 100); do
    curl -s --max-time 1 -o /dev/null "http://127.0.0.1:$nginx_port/" && break
    sleep 0.1
done

ours="http://127.0.0.1:$port"
theirs="http://127.0.0.1:$nginx_port"

best_speed() {
    local best=0 speed
    for _ in 1 2 3; do
        speed=$(curl -s --max-time 120 -o /dev/null -w '%{speed_download}' "$1")
        best=$(awk -v a="$best" -v b="$speed" 'BEGIN { print (b > a) ? b : a }')
    done
    echo "$best"
}
rps() {
    wrk -t2 -c32 -d5s --timeout 5s "$1" 2>/dev/null | awk '/Requests\/sec/ { print $2 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
mib_per_s() { awk -v a="$1" 'BEGIN { printf "%.0f MiB/s", a / 1048576 }'; }

echo "Measuring..."
ours_download=$(best_speed "$ours/bench/big.bin?download=1")
peak_kib=$(awk '/^VmHWM:/ { print $2 }' "/proc/$serve_pid/status")
theirs_download=$(best_speed "$theirs/big.bin")
ours_listing=$(rps "$ours/__browse/bench?path=listing")
theirs_listing=$(rps "$theirs/listing/")
ours_page=$(rps "$ours/bench/")
theirs_page=$(rps "$theirs/app.html")

echo
printf '%-34s %16s %16s %8s\n' "measure" "brightloom-share" "nginx" "ratio"
printf '%-34s %16s %16s %8s\n' "1 GiB download (best of 3)" "$(mib_per_s "$ours_download")" \
    "$(mib_per_s "$theirs_download")" "$(ratio "$ours_download" "$theirs_download")"
printf '%-34s %16s %16s %8s\n' "folder listing, requests/s" "$ours_listing" "$theirs_listing" \
    "$(ratio "$ours_listing" "$theirs_listing")"
printf '%-34s %16s %16s %8s\n' "application page, requests/s" "$ours_page" "$theirs_page" \
    "$(ratio "$ours_page" "$theirs_page")"
printf '%-34s %16s\n' "brightloom-share peak memory (VmHWM)" "$(awk -v k="$peak_kib" 'BEGIN { printf "%.1f MiB", k / 1024 }')"
echo
status=0
if awk -v k="$peak_kib" 'BEGIN { exit !(k < 64 * 1024) }'; then
    echo "peak memory under 64 MiB: yes"
else
    echo "peak memory under 64 MiB: NO"; status=1
fi
if awk -v a="$ours_download" -v b="$theirs_download" 'BEGIN { exit !(a >= b / 2) }'; then
    echo "download throughput at least half of nginx's: yes"
else
    echo "download throughput at least half of nginx's: NO"; status=1
fi
echo
BUILD_DIR="$BUILD_DIR" ./bench/archive.sh || status=1
exit $status
