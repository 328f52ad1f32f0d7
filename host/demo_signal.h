// The built-in test signal, so a render works on a machine with no audio files: a
// short plucked-string phrase (palm-muted riff and a ringing chord) followed by an
// exponential sine sweep.
#pragma once

#include <vector>

// Mono samples at `sample_rate`, peak about 0.5, the same for every call.
std::vector<float> demo_signal(double sample_rate);
