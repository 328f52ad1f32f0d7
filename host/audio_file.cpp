#include "audio_file.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>

static bool ends_with(const std::string& s, const char* suffix) {
    std::string lower = s;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    std::string suf = suffix;
    return lower.size() >= suf.size() && lower.compare(lower.size() - suf.size(), suf.size(), suf) == 0;
}

bool audio_file_read(const std::string& path, audio_data* audio, std::string* error) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr) {
        *error = "cannot read " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    if (info.channels <= 0 || info.samplerate <= 0) {
        sf_close(f);
        *error = path + ": no audio channels";
        return false;
    }
    std::vector<float> interleaved((size_t)info.frames * (size_t)info.channels);
    sf_count_t got = sf_readf_float(f, interleaved.data(), info.frames);
    sf_close(f);
    if (got < 0) got = 0;
    audio->sample_rate = info.samplerate;
    audio->channels.assign((size_t)info.channels, std::vector<float>((size_t)got));
    for (sf_count_t n = 0; n < got; ++n)
        for (int ch = 0; ch < info.channels; ++ch)
            audio->channels[(size_t)ch][(size_t)n] = interleaved[(size_t)n * (size_t)info.channels + (size_t)ch];
    return true;
}

bool audio_file_write(const std::string& path, const audio_data& audio, std::string* error) {
    SF_INFO info{};
    info.samplerate = (int)audio.sample_rate;
    info.channels = (int)audio.channels.size();
    if (ends_with(path, ".flac"))
        info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    else if (ends_with(path, ".aif") || ends_with(path, ".aiff"))
        info.format = SF_FORMAT_AIFF | SF_FORMAT_FLOAT;
    else if (ends_with(path, ".ogg"))
        info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    else
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr) {
        *error = "cannot write " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    // Integer formats clip instead of wrapping around.
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const size_t frames = audio.channels.empty() ? 0 : audio.channels[0].size();
    std::vector<float> interleaved(frames * audio.channels.size());
    for (size_t n = 0; n < frames; ++n)
        for (size_t ch = 0; ch < audio.channels.size(); ++ch)
            interleaved[n * audio.channels.size() + ch] = audio.channels[ch][n];
    sf_count_t written = sf_writef_float(f, interleaved.data(), (sf_count_t)frames);
    int rc = sf_close(f);
    if (written != (sf_count_t)frames || rc != 0) {
        *error = "writing " + path + " failed";
        return false;
    }
    return true;
}
