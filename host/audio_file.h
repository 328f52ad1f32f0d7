// Audio files through libsndfile, as one vector of samples per channel.
#pragma once

#include <string>
#include <vector>

struct audio_data {
    double sample_rate = 0.0;
    std::vector<std::vector<float>> channels;
};

// Any format libsndfile reads; integer formats come in scaled to -1 … 1.
bool audio_file_read(const std::string& path, audio_data* audio, std::string* error);
// The container follows the extension: .flac (24-bit), .aif/.aiff (float), .ogg
// (Vorbis), anything else WAV with 32-bit float samples.
bool audio_file_write(const std::string& path, const audio_data& audio, std::string* error);
