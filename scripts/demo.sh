#!/usr/bin/env bash
# The main job, shown end to end with the command-line tool.
set -euo pipefail
build=${1:-build}
echo "demo: not built yet"
