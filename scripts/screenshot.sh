#!/usr/bin/env bash
# Refreshes docs/screenshot.png, the README's picture: the screen-reader test
# takes it of the real window under its own X server (a loaded pack and a
# preview reply) and leaves it in the build tree, with the review panel's
# after a run of two messages; this copies both over.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target vuzev-tavi tavi-pack-service
ctest --test-dir build -R '^a11y$' --output-on-failure
mkdir -p docs
cp build/screenshot.png docs/screenshot.png
cp build/review-panel.png docs/review-panel.png
echo "docs/screenshot.png and docs/review-panel.png updated"
