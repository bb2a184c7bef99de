#!/usr/bin/env bash
# The daemon's main job on a machine without the card's hardware: installs
# what is needed, builds, and runs the daemon on the bench against the
# simulated BMC, showing the decoded traffic live. Options go to
# bench/demo.sh (--duration SEC, --scenario NAME, --debug).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
exec "$root/bench/demo.sh" "$@"
