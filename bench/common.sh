# Sourced by the benchmark scripts: the build they measure, a private sandbox and `brightloom-share
# serve` on loopback. Nothing here touches the real home folder.

BUILD_DIR=${BUILD_DIR:-build}
SERVE="$BUILD_DIR/brightloom-share"
[ -x "$SERVE" ] || { echo "bench: $SERVE is missing; run make build first" >&2; exit 1; }

# bench_requires TOOL...: stops when a tool is missing.
bench_requires() {
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "bench: $tool is missing; make bench installs it" >&2; exit 1; }
    done
}

# bench_sandbox NAME: a fresh folder in $work holding HOME, the XDG folders and TMPDIR.
bench_sandbox() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/$1-XXXXXX")
    export HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" XDG_CONFIG_HOME="$work/home/.config"
    export XDG_CACHE_HOME="$work/home/.cache" XDG_STATE_HOME="$work/home/.local/state"
    export XDG_RUNTIME_DIR="$work/runtime" TMPDIR="$work/tmp"
    mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$TMPDIR"
    chmod 700 "$XDG_RUNTIME_DIR"
}

# bench_serve FOLDER: serves the folder as the share "bench"; sets serve_pid and port. The server also
# ends with this shell, when the writing end of its standard input (descriptor 3) closes.
bench_serve() {
    mkfifo "$work/serve.in"
    "$SERVE" serve --port 0 --no-qr --slug bench "$1" > "$work/serve.out" 2> "$work/serve.err" < "$work/serve.in" &
    serve_pid=$!
    exec 3> "$work/serve.in"
    port=$(node tests/support/serve.mjs "$work/serve.out") || { echo "bench: brightloom-share serve did not start" >&2; cat "$work/serve.err" >&2; exit 1; }
}

# Shared by the serving benchmarks (run.sh, activity.sh, archive.sh): free ports, waiting for a server, and loads
# measured with the server's CPU time. Each sets the variables its comment names.
free_port() {
    perl -MIO::Socket::INET -e 'print IO::Socket::INET->new(Listen => 1, LocalAddr => "127.0.0.1", LocalPort => 0)->sockport'
}
wait_for() {
    for _ in $(seq 1 100); do
        curl -s --max-time 1 -o /dev/null "$1" && return 0
        sleep 0.1
    done
    echo "bench: $1 did not answer" >&2
    cat "$work/nginx/error.log" "$work/caddy/out.log" >&2 2>/dev/null || true
    exit 1
}

# bench_nginx ROOT [CONNECTIONS]: nginx as the peer, two workers, sendfile, JSON autoindex, serving ROOT
# from $work/nginx; sets nginx_port, nginx_pid and nginx_url. The caller waits for it to answer.
bench_nginx() {
    nginx_port=$(free_port)
    local user_line=""
    [ "$(id -u)" -eq 0 ] && user_line="user root root;"
    cat > "$work/nginx/nginx.conf" <<CONF
$user_line
worker_processes 2;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections ${2:-1024}; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 0;
    default_type application/octet-stream;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    server {
        listen 127.0.0.1:$nginx_port;
        root $1;
        autoindex on;
        autoindex_format json;
    }
}
CONF
    nginx -e "$work/nginx/error.log" -p "$work/nginx" -c "$work/nginx/nginx.conf" &
    nginx_pid=$!
    nginx_url="http://127.0.0.1:$nginx_port"
}

# CPU time (user and system, in clock ticks) and memory (KiB) summed over a server's processes.
ticks() {
    local sum=0 pid
    for pid in $1; do
        sum=$((sum + $(awk '{ print $14 + $15 }' "/proc/$pid/stat")))
    done
    echo "$sum"
}
memory_kib() {
    local sum=0 pid
    for pid in $1; do
        sum=$((sum + $(awk -v key="$2:" '$1 == key { print $2 }' "/proc/$pid/status")))
    done
    echo "$sum"
}
hz=$(getconf CLK_TCK)

# download PIDS URL: sets mb_per_s (the best of three runs) and cpu_per_gib (server CPU seconds per GiB).
download() {
    local best=0 speed before after
    before=$(ticks "$1")
    for _ in 1 2 3; do
        speed=$(curl -s --max-time 120 -o /dev/null -w '%{speed_download}' "$2")
        best=$(awk -v a="$best" -v b="$speed" 'BEGIN { print (b > a) ? b : a }')
    done
    after=$(ticks "$1")
    cpu_per_gib=$(awk -v t=$((after - before)) -v hz="$hz" 'BEGIN { printf "%.2f", t / hz / 3 }')
    mb_per_s=$(awk -v a="$best" 'BEGIN { printf "%.0f", a / 1000000 }')
}

# load PIDS URL CLIENTS [HEADER]: sets per_s (requests/s, one request per connection) and
# cpu_per_request (server CPU microseconds per answered request).
load() {
    local before after out requests
    before=$(ticks "$1")
    out=$(wrk -t2 -c"$3" -d"${LOAD_SECONDS}s" --timeout 5s -H 'Connection: close' ${4:+-H "$4"} "$2" 2>/dev/null)
    after=$(ticks "$1")
    requests=$(echo "$out" | awk '/requests in/ { print $1 }')
    cpu_per_request=$(awk -v t=$((after - before)) -v hz="$hz" -v n="${requests:-0}" \
        'BEGIN { if (n > 0) printf "%.0f", t / hz / n * 1000000; else print "n/a" }')
    per_s=$(echo "$out" | awk '/Requests\/sec/ { printf "%.0f", $2 }')
}

# single_ms URL [HEADER]: milliseconds per request for one client alone.
single_ms() {
    wrk -t1 -c1 -d"${LOAD_SECONDS}s" --timeout 5s -H 'Connection: close' ${2:+-H "$2"} "$1" 2>/dev/null |
        awk '/Requests\/sec/ { if ($2 > 0) printf "%.1f", 1000 / $2; else print "n/a" }'
}

# ninth_p99 LISTING_URL FILE_URL [HEADER]: the p99 in ms of one client fetching the file while eight
# clients fetch the listing.
ninth_p99() {
    wrk -t2 -c8 -d"$((LOAD_SECONDS + 2))s" --timeout 5s -H 'Connection: close' ${3:+-H "$3"} "$1" >/dev/null 2>&1 &
    local crowd=$!
    sleep 1
    wrk -t1 -c1 -d"${LOAD_SECONDS}s" --timeout 5s --latency -H 'Connection: close' "$2" 2>/dev/null |
        awk '$1 == "99%" { v = $2; n = v + 0; if (v ~ /us$/) n /= 1000; else if (v ~ /ms$/) n += 0;
                           else if (v ~ /s$/) n *= 1000; printf "%.1f", n }'
    wait "$crowd" || true
}
