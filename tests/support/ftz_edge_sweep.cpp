// Signals and states near the edge of flush-to-zero, through the block path as the audio
// thread runs it: `ftz_edge_sweep FILE` writes every output sample as raw float32, one
// scenario after another. The same program on x86-64 and on aarch64 shows where the two
// processors' flush-to-zero differ: x86-64 flushes a result that is tiny after rounding,
// ARMv8 without FEAT_AFP one that is tiny before rounding, so a product, quotient or
// double→float conversion whose exact magnitude lies in [2^-126 − 2^-151, 2^-126) is
// ±2^-126 on x86-64 and ±0 on aarch64. tests/arch compares the two files.
#include <cmath>
#include <cstdio>
#include <vector>

#include "dsp/dsp_test_support.h"
#include "dsp/lanes.h"

namespace {

constexpr double tiny = 0x1p-126;

// True when the exact product a·b (exact in double: 24 + 24 bits) lies in the window.
bool product_in_window(float a, float b)
{
    const double p = std::fabs((double)a * (double)b);
    return p >= tiny - 0x1p-151 && p < tiny;
}

// A float s with a·s in the window, searched outward from the nearest candidate; 0 if
// none lies within a few hundred steps.
float state_for_window(float a)
{
    const float s0 = (float)((tiny - 0x1p-152) / std::fabs((double)a));
    float up = s0, down = s0;
    for (int step = 0; step < 400; step++) {
        if (product_in_window(a, up))
            return up;
        if (product_in_window(a, down))
            return down;
        up = std::nextafter(up, 1.0f);
        down = std::nextafter(down, 0.0f);
    }
    return 0.0f;
}

struct sweep {
    std::vector<float> out;
    void run(overdrive_dsp* dsp, const std::vector<float>& in)
    {
        process_fp_mode fp;
        const size_t at = out.size();
        out.resize(at + in.size());
        for (size_t done = 0; done < in.size(); done += 256) {
            const int32_t n = (int32_t)std::min<size_t>(256, in.size() - done);
            dsp_process_block(dsp, in.data() + done, out.data() + at + done, n);
        }
    }
};

void random_params(float* p, uint32_t* seed)
{
    for (int i = 0; i < 5; i++)
        p[i] = (float)(next_random(seed) % 33) * (i == 4 ? 6.25f : 3.125f);
    p[5] = 0.0f;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: ftz_edge_sweep OUT.f32\n", stderr);
        return 2;
    }
    static overdrive_dsp dsp;
    sweep s;
    uint32_t seed = 12345;
    const float rates[] = {22050.0f, 44100.0f, 48000.0f, 96000.0f};

    for (float rate : rates) {
        const int sound = (int)(0.1f * rate), silence = (int)(0.6f * rate);
        std::vector<float> in(sound + silence, 0.0f);
        for (int i = 0; i < sound; i++)
            in[i] = test_signal(i, rate);
        // Tails over digital silence, with the levels left alone or gliding to zero.
        for (int glide = 0; glide < 4; glide++) {
            for (int set = 0; set < 6; set++) {
                float p[6];
                random_params(p, &seed);
                if (set == 0)
                    p[4] = 200.0f;
                make_dsp(&dsp, rate, p);
                std::vector<float> head(in.begin(), in.begin() + sound);
                std::vector<float> tail(in.begin() + sound, in.end());
                s.run(&dsp, head);
                if (glide == 1)
                    dsp_set_param(&dsp, 4, 0.0f);
                if (glide == 2)
                    dsp_set_param(&dsp, 3, 0.0f);
                if (glide == 3)
                    dsp_set_param(&dsp, 5, 1.0f);
                s.run(&dsp, tail);
            }
        }
        // Inputs of the smallest normal magnitudes, every sign and mantissa.
        for (int set = 0; set < 6; set++) {
            float p[6];
            random_params(p, &seed);
            make_dsp(&dsp, rate, p);
            std::vector<float> small(4096);
            for (float& x : small) {
                const uint32_t r = next_random(&seed);
                const int e = 1 + (int)(r % 12);  // biased exponents 1 … 12
                x = float_of((r & 0x80u ? 0x80000000u : 0u) | (uint32_t)e << 23 | (next_random(&seed) & 0x7FFFFF));
            }
            s.run(&dsp, small);
        }
    }

    // Every state that decays by a product over silence, set one step from the window:
    // the four high-passes (s ← −a1·y) and the four level glides toward 0 (value ←
    // value·coeff), at many rates, since each rate has coefficients of its own and only
    // some coefficients have a float state whose product lands in the window. Volume at
    // its top and the other levels at their defaults carry a result of 2^-126 to the
    // output; a second pass plays sound before the silence.
    int hits = 0;
    for (int r = 0; r < 64; r++) {
        const float rate = 22050.0f + (float)r * 2750.0f;
        for (int which = 0; which < 8; which++) {
            for (int with_sound = 0; with_sound < 2; with_sound++) {
                const float p[6] = {50.0f, 50.0f, 50.0f, 100.0f, 200.0f, 0.0f};
                make_dsp(&dsp, rate, p);
                float* state = nullptr;
                float a = 0.0f;
                smoother* level = nullptr;
                switch (which) {
                case 0: state = &dsp.in_hp1_s; a = dsp.in_hp1.a1; break;
                case 1: state = &dsp.in_hp2_s; a = dsp.in_hp2.a1; break;
                case 2: state = &dsp.out_hp1_s; a = dsp.out_hp1.a1; break;
                case 3: state = &dsp.out_hp2_s; a = dsp.out_hp2.a1; break;
                case 4: level = &dsp.volume; break;
                case 5: level = &dsp.mix; break;
                case 6: level = &dsp.bypass; break;
                default: level = &dsp.heat_gain; break;
                }
                if (level != nullptr) {
                    level->target = 0.0f;
                    state = &level->value;
                    a = level->coeff;
                }
                const float edge = state_for_window(a);
                if (edge == 0.0f)
                    continue;
                hits++;
                // Sound first when asked, so that the wet tail over the silence that
                // follows is not zero; the state is set as the silence begins.
                const int sound = with_sound ? (int)(0.02f * rate) : 0;
                std::vector<float> head((size_t)sound), silence(512, 0.0f);
                for (int i = 0; i < sound; i++)
                    head[(size_t)i] = test_signal(i, rate);
                for (int k = 0; k < 4; k++) {
                    s.run(&dsp, head);
                    // A level's value stays positive; a high-pass state takes both signs.
                    *state = k % 2 && level == nullptr ? -edge : edge;
                    s.run(&dsp, silence);
                }
            }
        }
    }
    std::fprintf(stderr, "%d states one product from the window\n", hits);

    FILE* f = std::fopen(argv[1], "wb");
    if (f == nullptr || std::fwrite(s.out.data(), sizeof(float), s.out.size(), f) != s.out.size() ||
        std::fclose(f) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::printf("%zu samples\n", s.out.size());
    return 0;
}
