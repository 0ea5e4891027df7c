#!/bin/sh
# Runs the browser tests inside a private HOME, XDG folders and TMPDIR, as every other test process
# does, so neither Chromium nor the server ever writes into the real home folder. Arguments name
# test files to run instead of all of them.
set -eu
cd "$(dirname "$0")"

[ -x "${BRIGHTLOOM_SHARE:-}" ] || { echo "BRIGHTLOOM_SHARE must name the brightloom-share executable" >&2; exit 1; }
[ -d node_modules/playwright-core ] || { echo "playwright-core is not installed here: run 'make deps'" >&2; exit 1; }

sandbox=$(mktemp -d "${TMPDIR:-/tmp}/brightloom-browser-XXXXXX")
trap 'rm -rf "$sandbox"' EXIT
trap 'exit 130' INT TERM
mkdir -p "$sandbox/home/.local/share" "$sandbox/home/.config" "$sandbox/home/.cache" \
    "$sandbox/home/.local/state" "$sandbox/tmp" "$sandbox/runtime"
chmod 700 "$sandbox/runtime"
export HOME="$sandbox/home"
export XDG_DATA_HOME="$HOME/.local/share" XDG_CONFIG_HOME="$HOME/.config"
export XDG_CACHE_HOME="$HOME/.cache" XDG_STATE_HOME="$HOME/.local/state"
export XDG_RUNTIME_DIR="$sandbox/runtime" TMPDIR="$sandbox/tmp"
export SCREENSHOT_DIR="${SCREENSHOT_DIR:-$sandbox/screenshots}"
mkdir -p "$SCREENSHOT_DIR"

if [ "$#" -eq 0 ]; then set -- ./*.test.mjs; fi
node --test --test-concurrency=1 --test-timeout=240000 "$@"
