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
