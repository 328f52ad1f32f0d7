#!/bin/sh
# The main job: show the factory's classes through the project's own host.
set -e
BUILD=${1:-build}
BUNDLE="$HOME/.vst3/Vellum Grist Saturator.vst3"
if [ -x "$BUILD/host/vgs-host" ]; then
  "$BUILD/host/vgs-host" info "$BUNDLE"
else
  echo "bundle installed at $BUNDLE"
fi
