#!/usr/bin/env bash
# Writes PNG pictures of every stage of the update panel, for a person to
# look at: the offer with its notes and real download size, the download
# started, ready to restart, "Updated to 2.0", a skipped version, a network
# error, a failed download, the rollback message, a held-back version and a
# scheduled check. They come from tst_updatepanel and tst_demomainwindow
# run under Xvfb (the real xcb platform, not offscreen), once at 100 % and
# once at 200 % scale. Nothing is compared.
# Usage: scripts/update-screenshots.sh [OUTDIR]   (default: build/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."

out=$(realpath -m "${1:-build/screenshots}")
bash scripts/build.sh tst_updatepanel tst_demomainwindow
command -v xvfb-run >/dev/null || { echo "update-screenshots: xvfb-run is missing (Debian: xvfb)" >&2; exit 1; }

for scale in 1 2; do
    dir="$out/scale-$scale"
    mkdir -p "$dir"
    for run in "tst_updatepanel stages" "tst_demomainwindow checkDownloadAndHandOver"; do
        test=${run%% *}
        (cd "build/tests/bin/$test" &&
            QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=$scale TVX_TEST_SCREENSHOT_DIR="$dir" \
                xvfb-run -a -s "-screen 0 2560x1600x24" "./$test" "${run#* }" \
                >"$dir/$test.log" 2>&1) || echo "update-screenshots: $test failed, see $dir/$test.log" >&2
    done
done
ls "$out"/scale-*/*.png
