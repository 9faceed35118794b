#!/usr/bin/env bash
# Installs what Tarvex needs, builds it and runs the launcher with the sample
# main form. Without a display it runs under Xvfb and closes itself.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/build.sh

export TARVEX_SAMPLE_AUTOCLOSE_MS=${TARVEX_SAMPLE_AUTOCLOSE_MS:-3000}
run=(build/bin/Tarvex)
if [ -z "${DISPLAY:-}" ]; then
    run=(xvfb-run -a "${run[@]}")
fi
set +e
"${run[@]}"
code=$?
set -e
echo "launcher exited with $code"
echo "--- build/bin/Log/Print.log (last lines)"
tail -n 20 build/bin/Log/Print.log 2>/dev/null || echo "(no print log)"
exit $code
