#!/usr/bin/env bash
# Set-up on a fresh machine, build, and the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build -DHB_BUILD_TESTS=OFF -DHB_BUILD_BENCH=OFF
./build/tools/hbdemo
