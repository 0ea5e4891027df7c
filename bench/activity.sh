#!/usr/bin/env bash
# What recording visitors' activity costs: run.sh's serving figures for the application without windows
# (--headless) with recording on and with it off, side by side in one run with nginx, then how much
# activity.jsonl grows per 10,000 requests (listings and small downloads). Target: no figure with
# recording on worse than with it off by more than 5%. Each instance has its own HOME and state folder;
# everything stays on 127.0.0.1 and in a private temporary folder; every load is bounded in time or count.
set -euo pipefail
cd "$(dirname "$0")/.."

. bench/common.sh
bench_requires nginx wrk curl perl awk python3
on_pid=""
off_pid=""
nginx_pid=""
bench_sandbox brightloom-bench-activity
cleanup() {
    [ -n "$on_pid" ] && kill "$on_pid" 2>/dev/null || true
    [ -n "$off_pid" ] && kill "$off_pid" 2>/dev/null || true
    [ -n "$nginx_pid" ] && kill -QUIT "$nginx_pid" 2>/dev/null || true
    sleep 0.5
    rm -rf "$work"
}
trap cleanup EXIT
LOAD_SECONDS=${LOAD_SECONDS:-5}
mkdir -p "$work/share/listing" "$work/share/many" "$work/nginx"

echo "Preparing the folder (1 GiB file, 30 KB file, folders of 206 and 10,000 entries)..."
dd if=/dev/zero of="$work/share/big.bin" bs=1M count=1024 status=none
head -c 30720 /dev/urandom > "$work/share/small.bin"
for i in $(seq 1 200); do printf 'file %d\n' "$i" > "$work/share/listing/file-$i.txt"; done
for i in $(seq 1 6); do mkdir "$work/share/listing/folder-$i"; done
(cd "$work/share/many" && seq -f 'entry-%05g.txt' 1 10000 | xargs touch)

# headless NAME RECORDING: starts the application without windows in a home of its own, sharing the
# folder as "bench", recording activity or not; sets its pid and port as NAME_pid and NAME_port.
headless() {
    local home="$work/$1" port
    port=$(free_port)
    mkdir -p "$home/data/Quarry Share" "$home/config/brightloom" "$home/runtime"
    chmod 700 "$home/runtime"
    python3 - "$home/data/Quarry Share/state.json" "$work/share" "$port" <<'PY'
import json, sys, uuid
path, folder, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
share = {"id": str(uuid.uuid4()).upper(), "source": "custom", "name": "Bench", "path": folder,
         "urlSlug": "bench", "isEnabled": True, "createdAt": 0}
tunnel = {"brokerURL": "", "requestedSubdomain": "", "isEnabled": False}
state = {"port": port, "shares": [share], "installationID": str(uuid.uuid4()).upper(), "publicTunnel": tunnel}
open(path, "w").write(json.dumps(state))
PY
    printf '[General]\nbrightloomShareRecordsActivity=%s\n' "$2" > "$home/config/brightloom/brightloom Share.conf"
    HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache" \
        XDG_RUNTIME_DIR="$home/runtime" "$SERVE" --headless > "$home/out.log" 2>&1 &
    printf -v "$1_pid" %s $!
    printf -v "$1_port" %s "$port"
    wait_for "http://127.0.0.1:$port/__browse/bench?path="
}
headless on true
headless off false

bench_nginx "$work/share"
wait_for "$nginx_url/small.bin"
nginx_pids="$nginx_pid $(pgrep -P "$nginx_pid" | tr '\n' ' ')"
sleep 1

# Each figure is taken of the three servers in turn, recording on first and off last, so that what the
# machine's other work does to one run falls on both of ours alike as far as it can.
echo "Measuring (about $((18 * LOAD_SECONDS + 60)) s)..."
declare -A fig
# url WHO NGINX_PATH OUR_PATH and pids WHO: where a figure is taken and whose CPU it counts.
url() {
    local port="${1}_port"
    if [ "$1" = nginx ]; then echo "$nginx_url/$2"; else echo "http://127.0.0.1:${!port}/$3"; fi
}
pids() {
    local pid="${1}_pid"
    if [ "$1" = nginx ]; then echo "$nginx_pids"; else echo "${!pid}"; fi
}
for who in on off nginx; do
    fig[idle_$who]=$(memory_kib "$(pids $who)" VmRSS)
done
for who in on off nginx; do
    download "$(pids $who)" "$(url $who big.bin 'bench/big.bin?download=1')"
    fig[dl_$who]=$mb_per_s fig[cpu_$who]=$cpu_per_gib
done
for who in on off nginx; do
    load "$(pids $who)" "$(url $who listing/ '__browse/bench?path=listing')" 8
    fig[list_$who]=$per_s fig[lcpu_$who]=$cpu_per_request
done
for who in on off nginx; do
    load "$(pids $who)" "$(url $who small.bin 'bench/small.bin?download=1')" 8
    fig[small_$who]=$per_s
done
for who in on off nginx; do
    fig[many_$who]=$(single_ms "$(url $who many/ '__browse/bench?path=many')")
done
for who in on off nginx; do
    fig[p99_$who]=$(ninth_p99 "$(url $who many/ '__browse/bench?path=many')" "$(url $who small.bin 'bench/small.bin?download=1')")
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "n/a" }'; }
row() {
    printf '%-44s %10s %10s %10s %8s %8s\n' "$1" "${fig[$2_on]}" "${fig[$2_off]}" "${fig[$2_nginx]:-}" \
        "$(ratio "${fig[$2_on]}" "${fig[$2_off]}")" "$(ratio "${fig[$2_on]}" "${fig[$2_nginx]:-0}")"
}
echo
printf '%-44s %10s %10s %10s %8s %8s\n' "figure" "on" "off" "nginx" "on/off" "on/ngx"
row "1 GiB download, MB/s (best of 3)" dl
row "server CPU per GiB downloaded, s" cpu
row "206-entry JSON listing, requests/s" list
row "server CPU per listing, us" lcpu
row "30 KB file, requests/s" small
row "10,000-entry listing, ms (one client)" many
row "9th client 30 KB p99 under 8 listings, ms" p99
row "idle memory (VmRSS), KiB" idle
echo

status=0
check() {
    if awk "BEGIN { exit !($2) }"; then echo "$1: yes"; else echo "$1: NO"; status=1; fi
}
for figure in dl list small; do
    check "$figure with recording at least 0.95x without" "${fig[${figure}_on]} >= 0.95 * ${fig[${figure}_off]}"
done
for figure in cpu lcpu many p99; do
    check "$figure with recording at most 1.05x without" "${fig[${figure}_on]} <= 1.05 * ${fig[${figure}_off]}"
done

# activity.jsonl's growth: 10,000 requests of each kind, one connection each, from one client, with
# whatever the loads above left moved aside first (the file turns over at 5 MiB).
log="$work/on/data/Quarry Share/activity.jsonl"
growth() {
    local before after config="$work/urls.txt"
    sleep 1
    rm -f "$log" "$work/on/data/Quarry Share/activity.1.jsonl"
    sleep 0.5
    for _ in $(seq 1 10000); do printf 'url = "http://127.0.0.1:%s/%s"\noutput = "/dev/null"\n' "$on_port" "$1"; done > "$config"
    curl -s --max-time 300 -H 'Connection: close' -K "$config"
    sleep 1.5 # the log's writer runs on a thread of its own
    after=$(stat -c %s "$log" 2>/dev/null || echo 0)
    printf '%-44s %10s bytes, %s lines\n' "activity.jsonl per 10,000 $2" "$after" "$(wc -l < "$log" 2>/dev/null || echo 0)"
}
echo
growth '__browse/bench?path=listing' "listings"
growth 'bench/small.bin?download=1' "30 KB downloads"
exit $status
