#!/usr/bin/env bash
# Installs what Tarvex needs, builds it, and runs the whole upgrade loop with
# the demo main form (scripts/demo.sh): a demo installation on version 1.0,
# a local upgrade server offering 2.0, and the launcher. With a display it is
# interactive; without one it runs unattended under Xvfb and ends with the
# launcher restarted on version 2.0. Arguments go to scripts/demo.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/build.sh
exec bash scripts/demo.sh --build build "$@"
