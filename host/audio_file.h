// Audio files through libsndfile: read and written a block at a time, so that memory
// does not grow with the length of a file, or whole as one vector of samples per
// channel for short signals.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

struct audio_data {
    double sample_rate = 0.0;
    std::vector<std::vector<float>> channels;
};

// An input file open for reading. Any format libsndfile reads; integer formats come in
// scaled to -1 … 1.
struct audio_reader {
    SNDFILE* file = nullptr;
    int channels = 0;
    double sample_rate = 0.0;
    int64_t frames = 0;  // as the file announces them
    std::vector<float> interleaved;
};

bool audio_reader_open(audio_reader* r, const std::string& path, std::string* error);
// Up to `count` frames into one buffer per channel: the number of frames read, fewer
// than asked only at the end of the file; -1 when the file cannot be read further.
int64_t audio_reader_read(audio_reader* r, float* const* channels, int32_t count);
void audio_reader_close(audio_reader* r);

// An output file written to an open descriptor (which stays open). The container
// follows the extension of `path`: .flac (24-bit), .aif/.aiff (float), .ogg (Vorbis),
// anything else WAV with 32-bit float samples.
struct audio_writer {
    SNDFILE* file = nullptr;
    int channels = 0;
    std::string path;
    std::vector<float> interleaved;
};

bool audio_writer_open(audio_writer* w, int fd, const std::string& path, int channels, double sample_rate,
                       std::string* error);
bool audio_writer_write(audio_writer* w, const float* const* channels, int32_t count, std::string* error);
// Completes the file (its header) and releases the writer; false if anything failed.
bool audio_writer_close(audio_writer* w, std::string* error);

bool audio_file_read(const std::string& path, audio_data* audio, std::string* error);
// The whole file replaced at once, or left as it was on failure.
bool audio_file_write(const std::string& path, const audio_data& audio, std::string* error);
