// Whole renders through the host's render path and the vgs-host program itself.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "bundle_fixture.h"
#include "demo_signal.h"
#include "host_presets.h"
#include "preset/factory_bank.h"
#include "render.h"
#include "support/valgrind_run.h"

using namespace vst3;
using namespace host_test;

namespace {

class render : public bundle_test {
protected:
    static render_stats run(const render_settings& settings, const audio_data& in, audio_data* out) {
        render_stats stats;
        std::string error;
        EXPECT_TRUE(render_audio(module, settings, in, out, &stats, &error)) << error;
        return stats;
    }
};

TEST_F(render, the_demo_comes_out_finite_and_free_of_denormals_at_common_rates) {
    for (double rate : {44100.0, 96000.0}) {
        audio_data in, out;
        in.sample_rate = rate;
        in.channels.push_back(demo_signal(rate));
        ASSERT_GT(in.channels[0].size(), (size_t)(5 * rate));
        render_settings settings;
        settings.sets = {{"Drive", 80.0}, {"Heat", 70.0}};
        settings.ramps = {{"Tone", 0.0, 100.0, 0.0, -1.0}};
        render_stats stats = run(settings, in, &out);
        EXPECT_EQ(stats.nonfinite_out, 0) << rate;
        EXPECT_EQ(stats.denormal_out, 0) << rate;
        EXPECT_EQ(stats.frames, (int64_t)in.channels[0].size());
        // A driven overdrive is not silent, and its output is not the input.
        EXPECT_GT(stats.rms_out, 0.01f) << rate;
        EXPECT_FALSE(same_bits(out.channels[0], in.channels[0]));
    }
}

TEST_F(render, each_channel_goes_through_its_own_instance) {
    audio_data stereo, left, right, out_stereo, out_left, out_right;
    stereo.sample_rate = left.sample_rate = right.sample_rate = 48000.0;
    left.channels = {noise(20000, 11)};
    right.channels = {noise(20000, 12)};
    stereo.channels = {left.channels[0], right.channels[0]};
    render_settings settings;
    settings.block_size = 300;
    settings.events = {{0.1, "Drive", 95.0}, {0.2, "Mix", 40.0}};
    run(settings, stereo, &out_stereo);
    run(settings, left, &out_left);
    run(settings, right, &out_right);
    ASSERT_EQ(out_stereo.channels.size(), 2u);
    EXPECT_TRUE(same_bits(out_stereo.channels[0], out_left.channels[0]));
    EXPECT_TRUE(same_bits(out_stereo.channels[1], out_right.channels[0]));
}

TEST_F(render, a_saved_state_renders_like_the_settings_it_came_from) {
    audio_data in, by_settings, by_state;
    in.sample_rate = 44100.0;
    in.channels = {noise(30000, 5)};
    render_settings settings;
    settings.sets = {{"drive", 12.0}, {"TONE", 90.0}, {"Volume", 150.0}};
    settings.save_state = true;
    render_stats first = run(settings, in, &by_settings);
    ASSERT_FALSE(first.saved_state.empty());
    EXPECT_EQ(chunk_value(first.saved_state, "volume"), 150.0f);

    render_settings from_chunk;
    from_chunk.load_state = first.saved_state;
    run(from_chunk, in, &by_state);
    EXPECT_TRUE(same_bits(by_settings.channels[0], by_state.channels[0]));
}

TEST_F(render, timed_changes_land_at_their_block_boundaries) {
    // A change at 0.5 s with 441-sample blocks sits at offset 0 of block 50; the same
    // change at 0.501 s sits inside that block and takes effect after it.
    audio_data in, at_start, inside, unchanged;
    in.sample_rate = 44100.0;
    in.channels = {noise(44100, 9)};
    render_settings s;
    s.block_size = 441;
    run(s, in, &unchanged);
    s.events = {{0.5, "Bypass", 1.0}};
    run(s, in, &at_start);
    s.events = {{0.501, "Bypass", 1.0}};
    run(s, in, &inside);
    const size_t b50 = 50 * 441, b51 = 51 * 441;
    auto range = [](const audio_data& a, size_t from, size_t to) {
        return std::vector<float>(a.channels[0].begin() + (long)from, a.channels[0].begin() + (long)to);
    };
    EXPECT_TRUE(same_bits(range(at_start, 0, b50), range(unchanged, 0, b50)));
    EXPECT_FALSE(same_bits(range(at_start, b50, b51), range(unchanged, b50, b51)));
    EXPECT_TRUE(same_bits(range(inside, 0, b51), range(unchanged, 0, b51)));
    EXPECT_FALSE(same_bits(range(inside, b51, b51 + 441), range(unchanged, b51, b51 + 441)));
}

// The component chunk a host hands to setState for a preset.
std::vector<uint8_t> preset_chunk(const vst_preset& p) {
    uint8_t* chunk = nullptr;
    size_t size = 0;
    EXPECT_EQ(vst_preset_component_chunk(&p, &chunk, &size), 0);
    std::vector<uint8_t> bytes(chunk, chunk + size);
    free(chunk);
    return bytes;
}

double rms_db(const std::vector<float>& x) {
    double sum = 0;
    for (float v : x) sum += (double)v * v;
    return 10 * std::log10(sum / (double)x.size());
}

TEST_F(render, every_factory_preset_plays_the_demo_at_the_dry_level_unless_it_boosts) {
    // The bundle's files, as a host finds them, against the table they were made from.
    std::vector<found_preset> bank;
    for (const found_preset& f : list_presets(VGS_BUNDLE_DIR))
        if (f.factory) bank.push_back(f);
    ASSERT_EQ(bank.size(), (size_t)factory_bank_size);
    ASSERT_GE(bank.size(), 12u);
    audio_data dry, out;
    dry.sample_rate = 44100.0;
    dry.channels.push_back(demo_signal(dry.sample_rate));
    const double dry_db = rms_db(dry.channels[0]);
    for (int i = 0; i < factory_bank_size; i++) {
        const found_preset& f = bank[(size_t)i];
        SCOPED_TRACE(f.path);
        ASSERT_EQ(f.error, 0);
        EXPECT_EQ(f.file_name, factory_bank[i].name);
        EXPECT_STREQ(f.preset.name, factory_bank[i].name);
        for (int k = 0; k < 6; k++) EXPECT_EQ(f.preset.values[k], factory_bank[i].values[k]) << k;
        render_settings settings;
        settings.preset_state = preset_chunk(f.preset);
        run(settings, dry, &out);
        const double level = rms_db(out.channels[0]) - dry_db;
        // Within 1.5 dB of the dry signal; a preset named a boost lifts it by 3 to 9 dB.
        if (std::string(f.preset.name).find("Boost") != std::string::npos) {
            EXPECT_GT(level, 3.0);
            EXPECT_LT(level, 9.0);
        } else {
            EXPECT_LE(std::fabs(level), 1.5) << level << " dB";
        }
    }
    // The first preset is the plug-in's initial state.
    EXPECT_STREQ(bank[0].preset.name, "Default");
    for (int k = 0; k < 6; k++) EXPECT_EQ(bank[0].preset.values[k], (float)(k == 3 || k == 4 ? 100 : k == 5 ? 0 : 50));
}

TEST_F(render, a_preset_plays_as_its_values_chosen_on_a_running_instance_after_they_have_settled) {
    // What a DAW does when the user picks a preset before playing: the six values reach the
    // running plug-in at one block's start and glide there during silence. Two seconds of
    // it bring the glides to rest: four give the same bits.
    const vst_preset p = {"Drum Smash", "Drums", {100.0f, 62.5f, 75.0f, 68.75f, 75.0f, 0.0f}};
    audio_data in, by_preset;
    in.sample_rate = 48000.0;
    in.channels = {noise(24000, 21)};
    render_settings settings;
    settings.block_size = 256;
    settings.preset_state = preset_chunk(p);
    run(settings, in, &by_preset);
    const char* titles[6] = {"Drive", "Tone", "Heat", "Mix", "Volume", "Bypass"};
    for (double preroll : {preset_settle_seconds, 2 * preset_settle_seconds}) {
        audio_data padded, by_events;
        padded.sample_rate = in.sample_rate;
        padded.channels = {std::vector<float>((size_t)(preroll * in.sample_rate), 0.0f)};
        padded.channels[0].insert(padded.channels[0].end(), in.channels[0].begin(), in.channels[0].end());
        render_settings events;
        events.block_size = 256;
        for (int k = 0; k < 6; k++) events.events.push_back({0.0, titles[k], (double)p.values[k]});
        run(events, padded, &by_events);
        const std::vector<float> tail(by_events.channels[0].end() - (long)in.channels[0].size(), by_events.channels[0].end());
        EXPECT_TRUE(same_bits(tail, by_preset.channels[0])) << preroll << " s of silence first";
    }
    // The preset changed the sound: the defaults give other bits.
    audio_data by_defaults;
    run(render_settings{}, in, &by_defaults);
    EXPECT_FALSE(same_bits(by_defaults.channels[0], by_preset.channels[0]));
}

TEST_F(render, settings_outside_a_range_or_unknown_names_are_refused) {
    audio_data in, out;
    in.sample_rate = 44100.0;
    in.channels = {noise(1000)};
    render_settings s;
    render_stats stats;
    std::string error;
    s.sets = {{"Drive", 101.0}};
    EXPECT_FALSE(render_audio(module, s, in, &out, &stats, &error));
    EXPECT_NE(error.find("outside"), std::string::npos) << error;
    s.sets = {{"Gain", 1.0}};
    EXPECT_FALSE(render_audio(module, s, in, &out, &stats, &error));
    EXPECT_NE(error.find("Gain"), std::string::npos) << error;
}

TEST_F(render, the_program_renders_the_demo_and_round_trips_a_state_file) {
    const std::string dir = ::testing::TempDir();
    const std::string wav = dir + "vgs_demo.wav", chunk = dir + "vgs_state.bin", log = dir + "vgs_render.log";
    const std::string bin = std::string("'") + VGS_HOST_BIN + "' render '" + VGS_BUNDLE_DIR + "'";
    ASSERT_EQ(std::system((bin + " -o '" + wav + "' --set Drive=70 --save-state '" + chunk + "' > '" + log + "'").c_str()), 0);
    std::string error;
    audio_data out;
    ASSERT_TRUE(audio_file_read(wav, &out, &error)) << error;
    EXPECT_EQ(out.sample_rate, 44100.0);
    ASSERT_EQ(out.channels.size(), 1u);
    EXPECT_EQ(out.channels[0].size(), demo_signal(44100.0).size());
    FILE* f = std::fopen(log.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[512] = {};
    ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
    std::fclose(f);
    EXPECT_NE(std::string(line).find("ns/sample"), std::string::npos) << line;

    // The saved chunk loads into a new instance and gives the same render.
    const std::string wav2 = dir + "vgs_demo2.wav";
    ASSERT_EQ(std::system((bin + " -q -o '" + wav2 + "' --load-state '" + chunk + "'").c_str()), 0);
    audio_data again;
    ASSERT_TRUE(audio_file_read(wav2, &again, &error)) << error;
    EXPECT_TRUE(same_bits(out.channels[0], again.channels[0]));
    // A missing bundle is an error, not a crash.
    EXPECT_NE(std::system((std::string("'") + VGS_HOST_BIN + "' render /nonexistent.vst3 -q 2>/dev/null").c_str()), 0);
    for (const std::string& p : {wav, wav2, chunk, log}) std::remove(p.c_str());
}

TEST_F(render, the_program_under_valgrind_has_no_memory_error_and_leaks_nothing) {
    SKIP_WHERE_VALGRIND_CANNOT_RUN();
    ASSERT_EQ(std::system("valgrind --version >/dev/null 2>&1"), 0) << "no valgrind (scripts/install-deps.sh installs it)";
    // A short file, with a ramp, an automation point and a saved state.
    const std::string dir = ::testing::TempDir();
    const std::string in_wav = dir + "vgs_valgrind_in.wav", out_wav = dir + "vgs_valgrind_out.wav",
                      chunk = dir + "vgs_valgrind_state.bin", log = dir + "vgs_valgrind.log";
    audio_data in;
    in.sample_rate = 44100.0;
    in.channels = {noise(22050, 3)};
    std::string error;
    ASSERT_TRUE(audio_file_write(in_wav, in, &error)) << error;
    std::string command;
    for (const std::string& word : valgrind_command(log))
        command += "'" + word + "' ";
    command += std::string("'") + VGS_HOST_BIN + "' render '" + VGS_BUNDLE_DIR + "' -q -i '" + in_wav + "' -o '" +
               out_wav + "' --ramp Tone=20:80 --at 0.1:Drive=70 --save-state '" + chunk + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << "valgrind ends with 99 when it finds something";
    EXPECT_EQ(valgrind_findings(log), "");
    audio_data out;
    ASSERT_TRUE(audio_file_read(out_wav, &out, &error)) << error;
    EXPECT_EQ(out.channels.at(0).size(), in.channels[0].size());
    for (const std::string& p : {in_wav, out_wav, chunk, log}) std::remove(p.c_str());
}

}  // namespace
