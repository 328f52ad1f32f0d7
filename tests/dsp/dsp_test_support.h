// Helpers shared by the DSP tests: the floating-point mode of the host's process call
// and a ready, activated instance.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

#include "dsp/arch.h"
#include "dsp/overdrive_dsp.h"

// process runs with flush-to-zero (x86-64: MXCSR bits 15 and 6; aarch64: FPCR bit 24);
// initialisation and activation do not.
class process_fp_mode {
public:
    process_fp_mode() : saved_(audio_fp_control_enter()) {}
    ~process_fp_mode() { fp_control_write(saved_); }
    process_fp_mode(const process_fp_mode&) = delete;
    process_fp_mode& operator=(const process_fp_mode&) = delete;

private:
    fp_control saved_;
};

inline constexpr float default_params[6] = {50.0f, 50.0f, 50.0f, 100.0f, 100.0f, 0.0f};

// What the component does: init, the six defaults, overrides, then activation.
inline void make_dsp(overdrive_dsp* dsp, float rate, const float* params = default_params)
{
    dsp_init(dsp);
    for (int i = 0; i < 6; i++)
        dsp_set_param(dsp, i, params[i]);
    dsp_activate(dsp, rate);
}

inline uint32_t float_bits(float x)
{
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// A realistic test signal: a decaying plucked tone with a little noise, -6 dBFS peak.
inline float test_signal(int n, float rate)
{
    uint32_t h = static_cast<uint32_t>(n) * 2654435761u;
    h ^= h >> 15;
    const float noise = static_cast<float>(h & 0xFFFF) / 65536.0f - 0.5f;
    const float t = static_cast<float>(n) / rate;
    float phase = t * 110.0f;
    phase -= static_cast<float>(static_cast<int>(phase));
    const float saw = 2.0f * phase - 1.0f;
    float env = 1.0f - (t - static_cast<float>(static_cast<int>(t)));
    return 0.5f * env * saw + 0.01f * noise;
}

// A linear congruential generator: the same sequence on every machine.
inline uint32_t next_random(uint32_t* seed)
{
    *seed = *seed * 1664525u + 1013904223u;
    return *seed >> 8;
}

// A value that automation tests give parameter `index`: an end of its range, the value
// it has, NaN, or anything in between.
inline float random_param_value(const overdrive_dsp* dsp, int index, uint32_t* seed)
{
    const float top = index == 4 ? 200.0f : 100.0f;
    switch (next_random(seed) % 5) {
    case 0: return 0.0f;
    case 1: return top;
    case 2: return dsp->dsp_values[index];
    case 3: return std::numeric_limits<float>::quiet_NaN();
    default: return static_cast<float>(next_random(seed) % 10001) * (top / 10000.0f);
    }
}
