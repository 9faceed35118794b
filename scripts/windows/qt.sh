#!/usr/bin/env bash
# Unpacks the cross-built Qt into the cache unless the same archive is already there.
set -euo pipefail
source "$(dirname "$0")/common.sh"

if [ ! -f "$TVX_WIN_QT_ARCHIVE" ]; then
    echo "windows/qt: $TVX_WIN_QT_ARCHIVE is missing" >&2
    exit 1
fi
stamp="$(stat -c '%s %Y' "$TVX_WIN_QT_ARCHIVE")"
if [ -f "$TVX_WIN_QT/.tvx-stamp" ] && [ "$(cat "$TVX_WIN_QT/.tvx-stamp")" = "$stamp" ]; then
    echo "windows/qt: cached in $TVX_WIN_QT"
    exit 0
fi
# Unpack beside the old copy and swap, so an interrupted run never leaves half a Qt.
tmp="$(mktemp -d "$TVX_WIN_CACHE/qt5.XXXXXX")"
tar -C "$tmp" -xJf "$TVX_WIN_QT_ARCHIVE"
echo "$stamp" > "$tmp/qt5/.tvx-stamp"
rm -rf "$TVX_WIN_QT"
mv "$tmp/qt5" "$TVX_WIN_QT"
rmdir "$tmp"
echo "windows/qt: unpacked into $TVX_WIN_QT"
