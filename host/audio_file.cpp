#include "audio_file.h"

#include <algorithm>
#include <cctype>

#include "replace_file.h"

static bool ends_with(const std::string& s, const char* suffix) {
    std::string lower = s;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    std::string suf = suffix;
    return lower.size() >= suf.size() && lower.compare(lower.size() - suf.size(), suf.size(), suf) == 0;
}

bool audio_reader_open(audio_reader* r, const std::string& path, std::string* error) {
    *r = audio_reader{};
    SF_INFO info{};
    r->file = sf_open(path.c_str(), SFM_READ, &info);
    if (r->file == nullptr) {
        *error = "cannot read " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    if (info.channels <= 0 || info.samplerate <= 0) {
        audio_reader_close(r);
        *error = path + ": no audio channels";
        return false;
    }
    r->channels = info.channels;
    r->sample_rate = info.samplerate;
    r->frames = info.frames;
    return true;
}

int64_t audio_reader_read(audio_reader* r, float* const* channels, int32_t count) {
    const size_t width = (size_t)r->channels;
    r->interleaved.resize((size_t)count * width);
    sf_count_t got = sf_readf_float(r->file, r->interleaved.data(), count);
    if (got < count && sf_error(r->file) != SF_ERR_NO_ERROR) return -1;
    if (got < 0) got = 0;
    for (sf_count_t n = 0; n < got; ++n)
        for (size_t ch = 0; ch < width; ++ch) channels[ch][n] = r->interleaved[(size_t)n * width + ch];
    return got;
}

void audio_reader_close(audio_reader* r) {
    if (r->file != nullptr) sf_close(r->file);
    r->file = nullptr;
}

bool audio_writer_open(audio_writer* w, int fd, const std::string& path, int channels, double sample_rate,
                       std::string* error) {
    *w = audio_writer{};
    SF_INFO info{};
    info.samplerate = (int)sample_rate;
    info.channels = channels;
    if (ends_with(path, ".flac"))
        info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    else if (ends_with(path, ".aif") || ends_with(path, ".aiff"))
        info.format = SF_FORMAT_AIFF | SF_FORMAT_FLOAT;
    else if (ends_with(path, ".ogg"))
        info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    else
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    w->file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    if (w->file == nullptr) {
        *error = "cannot write " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    w->channels = channels;
    w->path = path;
    // Integer formats clip instead of wrapping around.
    sf_command(w->file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return true;
}

bool audio_writer_write(audio_writer* w, const float* const* channels, int32_t count, std::string* error) {
    const size_t width = (size_t)w->channels;
    w->interleaved.resize((size_t)count * width);
    for (int32_t n = 0; n < count; ++n)
        for (size_t ch = 0; ch < width; ++ch) w->interleaved[(size_t)n * width + ch] = channels[ch][n];
    if (sf_writef_float(w->file, w->interleaved.data(), count) != count) {
        *error = "writing " + w->path + " failed: " + sf_strerror(w->file);
        return false;
    }
    return true;
}

bool audio_writer_close(audio_writer* w, std::string* error) {
    if (w->file == nullptr) return true;
    const int rc = sf_close(w->file);
    w->file = nullptr;
    if (rc != 0) {
        *error = "writing " + w->path + " failed: " + sf_error_number(rc);
        return false;
    }
    return true;
}

bool audio_file_read(const std::string& path, audio_data* audio, std::string* error) {
    audio_reader r;
    if (!audio_reader_open(&r, path, error)) return false;
    audio->sample_rate = r.sample_rate;
    audio->channels.assign((size_t)r.channels, std::vector<float>((size_t)r.frames));
    std::vector<float*> at((size_t)r.channels);
    int64_t done = 0;
    while (done < r.frames) {
        for (size_t ch = 0; ch < at.size(); ++ch) at[ch] = audio->channels[ch].data() + done;
        const int32_t want = (int32_t)std::min<int64_t>(65536, r.frames - done);
        const int64_t got = audio_reader_read(&r, at.data(), want);
        if (got < 0) break;  // what was read so far, as a short file gives it
        done += got;
        if (got < want) break;
    }
    audio_reader_close(&r);
    for (auto& ch : audio->channels) ch.resize((size_t)done);
    return true;
}

bool audio_file_write(const std::string& path, const audio_data& audio, std::string* error) {
    replacement_file out;
    if (!replacement_open(&out, path, error)) return false;
    audio_writer w;
    bool ok = audio_writer_open(&w, out.fd, path, (int)audio.channels.size(), audio.sample_rate, error);
    const size_t frames = audio.channels.empty() ? 0 : audio.channels[0].size();
    std::vector<const float*> at(audio.channels.size());
    for (size_t done = 0; ok && done < frames;) {
        const int32_t n = (int32_t)std::min<size_t>(65536, frames - done);
        for (size_t ch = 0; ch < at.size(); ++ch) at[ch] = audio.channels[ch].data() + done;
        ok = audio_writer_write(&w, at.data(), n, error);
        done += (size_t)n;
    }
    std::string close_error;
    if (!audio_writer_close(&w, &close_error) && ok) {
        *error = close_error;
        ok = false;
    }
    ok = ok && replacement_finish(&out, error) && replacement_commit(&out, error);
    if (!ok) replacement_discard(&out);
    return ok;
}
