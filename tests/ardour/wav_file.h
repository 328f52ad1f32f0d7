// Audio files through libsndfile.
#pragma once

#include <string>
#include <vector>

struct wav_audio {
    int sample_rate = 0;
    std::vector<std::vector<float>> channels;
};

// Any format libsndfile reads, one vector per channel.
bool wav_read(const std::string& path, wav_audio* audio, std::string* error);
// The LV2 tests' input: 220 Hz at 0.8 and 3100 Hz at 0.15 for `seconds`.
std::vector<float> two_tone_signal(int sample_rate, double seconds);
// A mono 32-bit float WAV file.
bool wav_write_mono(const std::string& path, const std::vector<float>& samples, int sample_rate, std::string* error);
