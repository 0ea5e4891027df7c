#!/bin/sh
# Builds the Debian package from the build folder given (as `make package` does from its release build),
# unpacks it into a temporary root and checks it the way Debian and software centres would: the unpacked
# program runs, the desktop file and the AppStream metadata validate, and lintian finds no error.
set -eu
build=$1
version=$2

work=$(mktemp -d "${TMPDIR:-/tmp}/brightloom-package-XXXXXX")
trap 'rm -rf "$work"' EXIT

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    exit 1
fi
deb="$work/out/brightloom-share_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "no $deb; cpack made: $(ls "$work/out")"; exit 1; }

dpkg -x "$deb" "$work/root"
root="$work/root"
said=$("$root/usr/bin/brightloom-share" --version)
[ "$said" = "brightloom Share $version" ] || { echo "--version said: $said"; exit 1; }
for file in usr/share/applications/app.brightloom.share.desktop \
            usr/share/icons/hicolor/scalable/apps/app.brightloom.share.svg \
            usr/share/metainfo/app.brightloom.share.metainfo.xml \
            usr/share/doc/brightloom-share/copyright usr/share/doc/brightloom-share/changelog.gz; do
    [ -f "$root/$file" ] || { echo "missing in the package: /$file"; exit 1; }
done
# `serve` becomes the lean program in libexec: the installed layout must lead the application to it.
lean="$root/usr/libexec/brightloom-share/brightloom-share-serve"
[ -x "$lean" ] || { echo "missing in the package: /usr/libexec/brightloom-share/brightloom-share-serve"; exit 1; }
mkdir "$work/folder"
"$root/usr/bin/brightloom-share" serve --port 0 --no-qr "$work/folder" >"$work/serve.log" 2>&1 </dev/null &
serving=$!
tries=0
until grep -q "is serving" "$work/serve.log" || [ $tries -ge 100 ]; do sleep 0.1; tries=$((tries + 1)); done
ran=$(readlink "/proc/$serving/exe" || true)
kill "$serving"; wait "$serving" || true
[ "$ran" = "$lean" ] || { echo "serve ran as $ran, not $lean: $(cat "$work/serve.log")"; exit 1; }
desktop-file-validate "$root/usr/share/applications/app.brightloom.share.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/app.brightloom.share.metainfo.xml"

# What Qt loads at run time is not in the shared-library dependencies: it must be in Depends by hand.
depends=$(dpkg-deb --field "$deb" Depends)
for package in libqt6quick6 qt6-qpa-plugins qml6-module-qtquick-controls qml6-module-qtquick-dialogs \
               qml6-module-qt-labs-folderlistmodel libqrencode4 libarchive13; do
    echo "$depends" | grep -q "$package" || { echo "Depends lacks $package: $depends"; exit 1; }
done

lintian --fail-on error "$deb"
echo "package checked: $(basename "$deb")"
