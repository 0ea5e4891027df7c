#!/usr/bin/env bash
# Installs every Debian package the project needs (listed in deps.txt, or in the list given as the
# first argument, such as deps-bench.txt) that is not installed yet, then the browser tests' npm
# modules. Quick when everything is present.
set -euo pipefail
cd "$(dirname "$0")/.."
list=${1:-deps.txt}

wanted=$(grep -v '^[[:space:]]*#' "$list" | tr -s ' \t' '\n' | grep -v '^$' | sort -u)
# Node.js may come from another source (NodeSource ships npm inside nodejs); take Debian's only when absent.
command -v node >/dev/null 2>&1 || wanted="$wanted nodejs"
command -v npm >/dev/null 2>&1 || wanted="$wanted npm"

missing=""
for pkg in $wanted; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing="$missing $pkg"
done

if [ -n "$missing" ]; then
    echo "Installing:$missing"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    # shellcheck disable=SC2086
    $sudo apt-get install -y -qq --no-install-recommends $missing
fi

if [ -f tests/browser/package-lock.json ]; then
    stamp=tests/browser/node_modules/.package-lock.json
    if [ ! -f "$stamp" ] || [ tests/browser/package-lock.json -nt "$stamp" ]; then
        (cd tests/browser && npm ci --no-audit --no-fund --loglevel=error)
    fi
fi
