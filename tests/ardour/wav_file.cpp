#include "wav_file.h"

#include <sndfile.h>

#include <cmath>

bool wav_read(const std::string& path, wav_audio* audio, std::string* error)
{
    SF_INFO info = {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        *error = path + ": " + sf_strerror(nullptr);
        return false;
    }
    std::vector<float> interleaved((size_t)info.frames * (size_t)info.channels);
    const sf_count_t read = sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);
    if (read != info.frames) {
        *error = path + ": short read";
        return false;
    }
    audio->sample_rate = info.samplerate;
    audio->channels.assign((size_t)info.channels, std::vector<float>((size_t)info.frames));
    for (sf_count_t f = 0; f < info.frames; f++)
        for (int c = 0; c < info.channels; c++)
            audio->channels[(size_t)c][(size_t)f] = interleaved[(size_t)f * (size_t)info.channels + (size_t)c];
    return true;
}

bool wav_write_mono(const std::string& path, const std::vector<float>& samples, int sample_rate, std::string* error)
{
    SF_INFO info = {};
    info.samplerate = sample_rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        *error = path + ": " + sf_strerror(nullptr);
        return false;
    }
    const sf_count_t written = sf_writef_float(file, samples.data(), (sf_count_t)samples.size());
    sf_close(file);
    if (written != (sf_count_t)samples.size()) {
        *error = path + ": short write";
        return false;
    }
    return true;
}

std::vector<float> two_tone_signal(int sample_rate, double seconds)
{
    std::vector<float> input((size_t)(seconds * sample_rate));
    for (size_t i = 0; i < input.size(); i++)
        input[i] = (float)(0.8 * std::sin(6.283185307179586 * 220.0 * (double)i / sample_rate) +
                           0.15 * std::sin(6.283185307179586 * 3100.0 * (double)i / sample_rate));
    return input;
}
