// The built bundle in a DAW that no one here wrote: the DAW's VST 3 scanner, a headless
// session with a mono track and the plug-in, parameters set in plain units, a test signal,
// save, reload, the DAW's exporter, and the project's own host for comparison.
//
// The whole round trip runs once (in SetUpTestSuite); each test checks one promise. The
// first argument picks the edition the DAW loads: "vst3" (the default) or "lv2"; either
// way the export is compared with vgs-host rendering the VST 3 bundle.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "daw_workspace.h"
#include "preset/vst_preset.h"
#include "session_xml.h"
#include "wav_file.h"

namespace {

bool lv2 = false;  // the LV2 edition in the DAW instead of the VST 3 one

const double sample_rate = 48000;
const char* const track_name = "signal";
const double preroll_seconds = 2.0;

// Values chosen to be exact in binary, so that any route from plain to normalized and
// back lands on the same 32-bit value. All but Bypass differ from their defaults.
const std::vector<std::pair<std::string, double>> settings = {
    {"Drive", 73.5}, {"Tone", 31.25}, {"Heat", 87.5}, {"Mix", 62.5}, {"Volume", 112.5}, {"Bypass", 0},
};

// The factory preset the DAW loads: a parallel blend, so the slow glides of Heat's level
// trim, Mix and Volume all take part.
const char* const preset_name = "Drum Smash";
const char* const parameter_titles[6] = {"Drive", "Tone", "Heat", "Mix", "Volume", "Bypass"};

struct round_trip {
    std::string error;  // the step that failed, empty when every step ran
    std::map<std::string, std::string> scanned;
    std::map<std::string, double> created, reloaded, chunk_only;
    std::string stripped_processor;
    int stripped_count = 0;
    std::vector<float> input;
    wav_audio exported, exported_chunk_only, exported_deactivated;
    std::vector<float> host, preroll_output;  // vgs-host's render of the signal and of the silence before it
    std::vector<std::string> bank;             // the bundle's factory.txt, without ".vstpreset"
    std::multiset<std::string> daw_presets;    // what the DAW lists for the plug-in, by label
    std::string preset_kind;                   // how the DAW lists the loaded preset: "user" or "factory"
    vst_preset preset = {};                    // the bundle's file of preset_name
    std::map<std::string, double> preset_params;
    wav_audio exported_preset;
    std::vector<float> host_preset;            // vgs-host render --preset
    std::vector<daw_step> times;
    std::vector<std::string> crashes;  // DAW runs that died of a signal and were repeated
};

round_trip* result = nullptr;

// A second and a half of material that exercises the whole curve: a 110 Hz sine swelling
// from silence to near full scale, a two-tone chord, then noise riding on an offset (the
// coupling high-passes have something to remove).
std::vector<float> test_signal()
{
    const size_t n = (size_t)(1.5 * sample_rate);
    std::vector<float> out(n);
    uint32_t seed = 12345;
    const double two_pi = 6.283185307179586;
    for (size_t i = 0; i < n; i++) {
        const double t = (double)i / sample_rate;
        double v;
        if (t < 0.5) {
            v = (t / 0.5) * 0.9 * std::sin(two_pi * 110.0 * t);
        } else if (t < 1.0) {
            v = 0.35 * std::sin(two_pi * 1000.0 * t) + 0.25 * std::sin(two_pi * 3300.0 * t);
        } else {
            seed = seed * 1664525u + 1013904223u;
            v = 0.1 + 0.3 * ((double)(seed >> 8) / 8388608.0 - 1.0);
        }
        out[i] = (float)v;
    }
    return out;
}

// "vgs-param Title value" lines of the session scripts.
std::map<std::string, double> parse_params(const std::string& output)
{
    std::map<std::string, double> values;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        char title[64];
        double value;
        if (sscanf(line.c_str(), "vgs-param %63s %lf", title, &value) == 2)
            values[title] = value;
    }
    return values;
}

class runner {
public:
    explicit runner(round_trip* r) : r_(r) {}

    bool run()
    {
        const bool ok = steps();
        r_->times = ws_.times;
        r_->crashes = ws_.crashes;
        return ok;
    }

private:
    bool steps()
    {
        for (const char* tool : {ARDOUR_EXPORT, VGS_HOST})
            if (access(tool, X_OK) != 0)
                return fail(std::string("missing program ") + tool +
                            " (Debian's ardour package: scripts/install-deps.sh installs it)");
        // Each edition's run keeps its files apart, so either one's logs survive the other.
        const std::string work = std::string(ARDOUR_WORK_DIR) + (lv2 ? "_lv2" : "");
        ws_.lv2 = lv2;
        const std::string failed = daw_prepare(&ws_, work);
        if (!failed.empty())
            return fail(failed);
        if (!lv2)
            r_->scanned = element_attributes(read_text_file(ws_.scan_cache), "VST3Info");
        const std::string& bundle = ws_.bundle;

        // The test signal, placed where the session's own audio files live.
        r_->input = test_signal();
        const std::string session = work + "/session";
        std::string error;
        if (!wav_write_mono(work + "/input.wav", r_->input, (int)sample_rate, &error))
            return fail(error);

        std::vector<std::string> options;
        for (const auto& [title, value] : settings)
            options.push_back(title + "=" + format(value));
        process_result created = daw_create_session(&ws_, session, "round_trip", (int)sample_rate, options);
        if (!daw_script_finished(created))
            return fail("create_session.lua: " + created.output);
        r_->created = parse_params(created.output);

        const std::string audiofiles = session + "/interchange/session/audiofiles";
        if (!run_plain({"cp", work + "/input.wav", audiofiles + "/input.wav"}))
            return fail("copying the signal into " + audiofiles);
        const std::string snapshot = session + "/round_trip.ardour";
        std::string xml = read_text_file(snapshot);
        if (!add_file_region(&xml, track_name, "input.wav", (int64_t)r_->input.size(), sample_rate, &error))
            return fail(error);
        if (!write_text_file(snapshot, xml))
            return fail("writing " + snapshot);

        // Reload: the values must come back, and a copy with the plug-in deactivated.
        process_result reloaded =
            run("reload", {ARDOUR_LUA, ARDOUR_SCRIPTS "/reload_session.lua", session, "round_trip", "deactivated"});
        if (!daw_script_finished(reloaded))
            return fail("reload_session.lua: " + reloaded.output);
        r_->reloaded = parse_params(reloaded.output);

        // The same session with the DAW's own copies of the values taken out: only the
        // plug-in's state chunk can restore them now.
        std::string stripped = read_text_file(snapshot);
        const std::string processor_type = lv2 ? "lv2" : "vst3";
        r_->stripped_count = strip_parameter_copies(&stripped, &error, processor_type);
        if (r_->stripped_count < 0)
            return fail(error);
        r_->stripped_processor = plugin_processor_element(stripped, 0, processor_type);
        if (!write_text_file(session + "/chunk_only.ardour", stripped))
            return fail("writing the chunk-only snapshot");
        process_result chunk_only =
            run("reload from chunk", {ARDOUR_LUA, ARDOUR_SCRIPTS "/reload_session.lua", session, "chunk_only"});
        if (!daw_script_finished(chunk_only))
            return fail("reload_session.lua (chunk only): " + chunk_only.output);
        r_->chunk_only = parse_params(chunk_only.output);

        // Every export starts from the same session folder: a run that dies can leave
        // crash-recovery and lock files behind that the next load would act on.
        const std::string pristine = session + ".pristine";
        if (!run_plain({"cp", "-a", session, pristine}))
            return fail("copying the session folder");
        const auto restore_session = [&] { run_plain({"sh", "-c", "rm -rf \"$0\" && cp -a \"$1\" \"$0\"", session, pristine}); };
        for (auto [name, audio] : {std::pair{"round_trip", &r_->exported}, std::pair{"chunk_only", &r_->exported_chunk_only},
                                   std::pair{"deactivated", &r_->exported_deactivated}}) {
            const std::string out = work + "/export_" + name + ".wav";
            // A run that died may also have left part of its file, which the next run
            // would not replace.
            const auto prepare = [&] {
                restore_session();
                unlink(out.c_str());
            };
            prepare();
            process_result exported = run(std::string("export ") + name,
                                          {ARDOUR_EXPORT, "-b", "float", "-o", out, session, name}, prepare);
            if (exported.exit_code != 0)
                return fail(std::string("export of ") + name + ": " + exported.output);
            if (!wav_read(out, audio, &error))
                return fail(error);
        }

        if (!preset_round(work, &error))
            return fail(error);

        // The DAW hands a session's values to an instance that is already running: they
        // reach the signal path with its first process calls and glide there from the
        // defaults, during silence, long before the export starts. The 50 ms smoothers
        // (heat gain, mix, volume) have no snap and come to rest within about a thousand
        // float steps of their targets, not on them. vgs-host's --set instead hands the
        // values over before a fresh activation, which starts the smoothers on their
        // targets (a level about 1.6e-4 apart here). So the host renders the same signal
        // after two seconds of silence, with the values delivered at sample 0 of the
        // running instance, exactly as the DAW delivers them.
        std::vector<float> preroll((size_t)(preroll_seconds * sample_rate), 0.0f);
        preroll.insert(preroll.end(), r_->input.begin(), r_->input.end());
        if (!wav_write_mono(work + "/host_input.wav", preroll, (int)sample_rate, &error))
            return fail(error);
        std::vector<std::string> render = {VGS_HOST, "render", bundle, "-i", work + "/host_input.wav", "-o",
                                           work + "/host.wav", "-q"};
        for (const auto& [title, value] : settings) {
            render.push_back("--at");
            render.push_back("0:" + title + "=" + format(value));
        }
        process_result host = run("vgs-host render", render);
        if (host.exit_code != 0)
            return fail("vgs-host render: " + host.output);
        wav_audio rendered;
        if (!wav_read(work + "/host.wav", &rendered, &error))
            return fail(error);
        if (rendered.channels.size() != 1 || rendered.channels[0].size() != preroll.size())
            return fail("vgs-host wrote an unexpected shape");
        const auto signal_start = rendered.channels[0].end() - (long)r_->input.size();
        r_->preroll_output.assign(rendered.channels[0].begin(), signal_start);
        r_->host.assign(signal_start, rendered.channels[0].end());
        return true;
    }

    // A session with a factory preset loaded by the DAW, exported, against vgs-host's
    // render of the same preset. The VST 3 edition's files go where `cmake --install` puts
    // them, the user's VST 3 preset folder; the LV2 edition's presets are in its bundle.
    bool preset_round(const std::string& work, std::string* error)
    {
        const std::string bank_dir = std::string(VGS_BUNDLE_DIR) + "/Contents/Resources/presets";
        std::ifstream list(bank_dir + "/factory.txt");
        for (std::string line; std::getline(list, line);)
            r_->bank.push_back(line.substr(0, line.size() - strlen(".vstpreset")));
        const std::string file = bank_dir + "/" + preset_name + ".vstpreset";
        if (vst_preset_load_file(file.c_str(), &r_->preset) != 0) {
            *error = "cannot read " + file;
            return false;
        }
        if (!lv2) {
            const std::string folder = work + "/home/.vst3/presets/Tresk.Sonwave/Vellum Grist Saturator";
            if (!run_plain({"mkdir", "-p", folder}) || !run_plain({"sh", "-c", "cp \"$0\"/*.vstpreset \"$1\"", bank_dir, folder})) {
                *error = "copying the presets into " + folder;
                return false;
            }
        }
        const std::string session = work + "/preset";
        process_result created =
            daw_create_session(&ws_, session, "preset", (int)sample_rate, {std::string("preset=") + preset_name});
        if (!daw_script_finished(created)) {
            *error = "create_session.lua with a preset: " + created.output;
            return false;
        }
        r_->preset_params = parse_params(created.output);
        std::istringstream lines(created.output);
        for (std::string line; std::getline(lines, line);) {
            char kind[16];
            int label_at = 0;
            if (sscanf(line.c_str(), "vgs-preset %15s %n", kind, &label_at) == 1 && label_at > 0) {
                r_->daw_presets.insert(line.substr((size_t)label_at));
                if (line.substr((size_t)label_at) == preset_name)
                    r_->preset_kind = kind;
            }
        }
        if (!run_plain({"cp", work + "/input.wav", session + "/interchange/preset/audiofiles/input.wav"})) {
            *error = "copying the signal into the preset session";
            return false;
        }
        const std::string snapshot = session + "/preset.ardour";
        std::string xml = read_text_file(snapshot);
        if (!add_file_region(&xml, track_name, "input.wav", (int64_t)r_->input.size(), sample_rate, error) ||
            !write_text_file(snapshot, xml))
            return false;
        const std::string pristine = session + ".pristine";
        if (!run_plain({"cp", "-a", session, pristine})) {
            *error = "copying the preset session";
            return false;
        }
        const std::string out = work + "/export_preset.wav";
        const auto prepare = [&] {
            run_plain({"sh", "-c", "rm -rf \"$0\" && cp -a \"$1\" \"$0\"", session, pristine});
            unlink(out.c_str());
        };
        prepare();
        process_result exported = run("export preset", {ARDOUR_EXPORT, "-b", "float", "-o", out, session, "preset"}, prepare);
        if (exported.exit_code != 0) {
            *error = "export of the preset session: " + exported.output;
            return false;
        }
        if (!wav_read(out, &r_->exported_preset, error))
            return false;
        // No silence before the signal: render --preset lets the plug-in settle first.
        process_result host = run("vgs-host render --preset", {VGS_HOST, "render", ws_.bundle, "-i", work + "/input.wav",
                                                                "-o", work + "/host_preset.wav", "-q", "--preset", preset_name});
        wav_audio rendered;
        if (host.exit_code != 0 || !wav_read(work + "/host_preset.wav", &rendered, error)) {
            *error = "vgs-host render --preset: " + host.output + *error;
            return false;
        }
        r_->host_preset = rendered.channels.at(0);
        return true;
    }

    static std::string format(double v)
    {
        char text[32];
        snprintf(text, sizeof text, "%.9g", v);
        return text;
    }

    process_result run(const std::string& step, const std::vector<std::string>& argv,
                       const std::function<void()>& prepare = nullptr)
    {
        return daw_run(&ws_, step, argv, prepare);
    }

    bool fail(const std::string& message)
    {
        r_->error = message;
        return false;
    }

    round_trip* r_;
    daw_workspace ws_;
};

struct comparison {
    size_t differing = 0;
    size_t first = 0;
    double max_abs = 0.0;
};

comparison compare(const std::vector<float>& a, const std::vector<float>& b)
{
    comparison c;
    for (size_t i = 0; i < a.size() && i < b.size(); i++) {
        if (a[i] != b[i]) {
            if (c.differing++ == 0)
                c.first = i;
            c.max_abs = std::max(c.max_abs, std::fabs((double)a[i] - (double)b[i]));
        }
    }
    return c;
}

class ardour_round_trip : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        result = new round_trip;
        const auto start = std::chrono::steady_clock::now();
        runner(result).run();
        const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (const daw_step& t : result->times)
            printf("  %-22s %6.2f s\n", t.name.c_str(), t.seconds);
        printf("  %-22s %6.2f s\n", "round trip in all", total);
        for (const std::string& crash : result->crashes)
            printf("  the DAW crashed or hung and was run again: %s\n", crash.c_str());
    }

    static void TearDownTestSuite()
    {
        delete result;
        result = nullptr;
    }

    void SetUp() override { ASSERT_EQ(result->error, "") << "the round trip stopped"; }

    // Channel 1 of the export: the master bus is stereo and the mono track feeds its first
    // channel without a panner.
    static const std::vector<float>& track_of(const wav_audio& a) { return a.channels.at(0); }
};

TEST_F(ardour_round_trip, scanner_lists_the_effect_with_name_vendor_and_mono_buses)
{
    if (lv2)
        GTEST_SKIP() << "LV2 bundles are found through lilv; there is no scanner cache";
    const auto& s = result->scanned;
    ASSERT_FALSE(s.empty()) << "no VST3Info in the scanner's cache";
    // The component's class id and texts of the factory's class table.
    EXPECT_EQ(s.at("uid"), "66AD22C7C20E462CB29447BBA4505C82");
    EXPECT_EQ(s.at("name"), "Vellum Grist Saturator");
    EXPECT_EQ(s.at("vendor"), "Tresk.Sonwave");
    EXPECT_EQ(s.at("category"), "Fx|Distortion");
    EXPECT_EQ(s.at("version"), "1.2.1.1");
    EXPECT_EQ(s.at("n_inputs"), "1");
    EXPECT_EQ(s.at("n_outputs"), "1");
    EXPECT_EQ(s.at("n_aux_inputs"), "0");
    EXPECT_EQ(s.at("n_aux_outputs"), "0");
}

TEST_F(ardour_round_trip, parameters_set_in_plain_units_survive_save_and_reload)
{
    for (const auto& [title, value] : settings) {
        ASSERT_TRUE(result->created.count(title)) << title;
        EXPECT_EQ(result->created.at(title), value) << title << " as set";
        ASSERT_TRUE(result->reloaded.count(title)) << title;
        EXPECT_EQ(result->reloaded.at(title), value) << title << " after reload";
    }
}

// The DAW's export against vgs-host's render of the same signal: both as long as the
// signal, the plug-in really at work on it (a pass-through would match the host too), and
// the same bits.
void expect_same_render(const std::vector<float>& ardour, const std::vector<float>& host)
{
    ASSERT_EQ(ardour.size(), result->input.size());
    ASSERT_EQ(host.size(), result->input.size());
    EXPECT_GT(compare(ardour, result->input).differing, result->input.size() * 9 / 10);
    const comparison c = compare(ardour, host);
    EXPECT_EQ(c.differing, 0u) << "first at sample " << c.first << ", largest difference " << c.max_abs;
}

TEST_F(ardour_round_trip, export_equals_the_command_line_host_render)
{
    expect_same_render(track_of(result->exported), result->host);
    // Silence in, silence out: both instances meet the signal with their filters at rest.
    EXPECT_EQ(compare(result->preroll_output, std::vector<float>(result->preroll_output.size(), 0.0f)).differing, 0u);
}

TEST_F(ardour_round_trip, deactivated_plugin_passes_the_input_unchanged)
{
    const auto& ardour = track_of(result->exported_deactivated);
    ASSERT_EQ(ardour.size(), result->input.size());
    const comparison c = compare(ardour, result->input);
    EXPECT_EQ(c.differing, 0u) << "first at sample " << c.first << ", largest difference " << c.max_abs;
}

TEST_F(ardour_round_trip, state_chunk_alone_restores_values_and_sound)
{
    // The edit really took the DAW's copies out: no port values, no controllables left.
    EXPECT_GT(result->stripped_count, 0);
    EXPECT_EQ(result->stripped_processor.find("<Port "), std::string::npos);
    EXPECT_EQ(result->stripped_processor.find("<Controllable "), std::string::npos);
    for (const auto& [title, value] : settings) {
        ASSERT_TRUE(result->chunk_only.count(title)) << title;
        // An LV2 plug-in cannot write its own input ports: the DAW shows the port values
        // of its session (here the defaults, since they were taken out), while the
        // plug-in plays the values its chunk restored until the DAW moves a port.
        if (lv2)
            continue;
        EXPECT_EQ(result->chunk_only.at(title), value) << title << " restored from the chunk";
    }
    const comparison c = compare(track_of(result->exported_chunk_only), result->host);
    EXPECT_EQ(c.differing, 0u) << "first at sample " << c.first << ", largest difference " << c.max_abs;
}

TEST_F(ardour_round_trip, factory_presets_are_listed_and_one_loads_with_its_values)
{
    // Every preset of the bank, by its name; the DAW may list others beside them.
    ASSERT_GE(result->bank.size(), 12u);
    for (const std::string& name : result->bank)
        EXPECT_EQ(result->daw_presets.count(name), 1u) << name;
    printf("  the DAW lists \"%s\" as a %s preset\n", preset_name, result->preset_kind.c_str());
    for (int i = 0; i < 6; i++) {
        ASSERT_TRUE(result->preset_params.count(parameter_titles[i])) << parameter_titles[i];
        EXPECT_EQ(result->preset_params.at(parameter_titles[i]), (double)result->preset.values[i]) << parameter_titles[i];
    }
}

TEST_F(ardour_round_trip, export_of_a_preset_equals_the_command_line_host_render_of_it)
{
    expect_same_render(track_of(result->exported_preset), result->host_preset);
    // The preset made a difference: its render is not the first session's either.
    EXPECT_GT(compare(track_of(result->exported_preset), result->host).differing, result->input.size() * 9 / 10);
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    lv2 = argc > 1 && std::string(argv[1]) == "lv2";
    return RUN_ALL_TESTS();
}
