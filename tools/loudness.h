// Integrated loudness of a mono signal as ITU-R BS.1770-4 measures it: K-weighting (a
// high shelf near 1.7 kHz and a high-pass near 38 Hz), mean squares over 400 ms blocks
// every 100 ms, gated at -70 LUFS and then 10 LU below the ungated mean.
#pragma once

#include <vector>

// LUFS; -infinity when no block passes the gates.
double integrated_loudness(const std::vector<float>& samples, double rate);
