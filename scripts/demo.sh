#!/bin/sh
# The main job: render the built-in demo signal (a plucked-string phrase and a sine
# sweep) through the installed plug-in with the project's own host.
set -e
BUILD=${1:-build}
BUNDLE="$HOME/.vst3/Vellum Grist Saturator.vst3"
OUT=${DEMO_OUT:-demo-output}
mkdir -p "$OUT"
"$BUILD/host/vgs-host" info "$BUNDLE"
"$BUILD/host/vgs-host" render "$BUNDLE" --output "$OUT/demo.wav"
echo "wrote $OUT/demo.wav"
"$BUILD/tools/vgs-plots" "$BUNDLE" "$OUT"
echo "wrote plots to $OUT/ (demo_waveforms.png, transfer_curve.png, harmonic_spectrum.png)"
