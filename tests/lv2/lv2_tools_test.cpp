// Debian's LV2 tools on the built bundle: lv2info lists the plug-in and its ports as the
// parameter table defines them, lv2apply renders a file bit for bit as vgs-host renders
// it through the VST 3 bundle, and lv2_validate checks the Turtle against the installed
// LV2 vocabularies. Which tool runs is the first argument ("lv2info", "lv2apply" or
// "lv2_validate"), so each is one CTest test with its own label.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "controller/param_table.h"
#include "run_process.h"
#include "wav_file.h"

namespace {

std::string tool;  // from the command line
// One folder per tool: CTest runs the three side by side, and each relinks its LV2_PATH.
std::string work;  // LV2_TEST_WORK_DIR/tools-TOOL

// LV2_PATH: the built bundle alone (through a link, so nothing else in the build tree is
// scanned) and the system's LV2 vocabulary bundles (lv2core and the rest), which name
// the plug-in classes.
std::vector<std::string> lv2_environment()
{
    mkdir(work.c_str(), 0755);
    mkdir((work + "/lv2").c_str(), 0755);
    const std::string link = work + "/lv2/Vellum Grist Saturator.lv2";
    unlink(link.c_str());
    EXPECT_EQ(symlink(VGS_LV2_BUNDLE_DIR, link.c_str()), 0);
    return {"LV2_PATH=" + work + "/lv2:/usr/lib/lv2"};
}

// lilv-utils of the plug-in's architecture: /usr/bin, or for the aarch64 edition Debian's
// arm64 build unpacked beside the system's (VGS_LILV_BIN); lv2_validate reads Turtle only.
process_result run_tool(std::vector<std::string> argv, const std::string& log)
{
    const std::string dir = argv[0] == "lv2_validate" ? "/usr/bin" : VGS_LILV_BIN;
    argv[0] = dir + "/" + argv[0];
    if (access(argv[0].c_str(), X_OK) != 0) {
        ADD_FAILURE() << "missing program " << argv[0]
                      << " (Debian's lilv-utils, lv2-dev and sordi: scripts/install-deps.sh installs them)";
        return {};
    }
    return run_process(argv, lv2_environment(), work + "/" + log, 300.0);
}

std::string ascii(const vst3::char16* text)
{
    std::string s;
    while (*text)
        s += (char)*text++;
    return s;
}

std::string trim(const std::string& s)
{
    const size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// lv2info's "Port N:" blocks as field → value (repeated fields joined by blanks), and
// the fields above them.
struct listing {
    std::map<std::string, std::string> plugin;
    std::map<int, std::map<std::string, std::string>> ports;
};

listing parse_lv2info(const std::string& text)
{
    listing l;
    std::istringstream lines(text);
    std::map<std::string, std::string>* block = &l.plugin;
    size_t depth = 1;  // the tabs before a field name: 1 for the plug-in, 2 in a port
    std::string line, field;
    while (std::getline(lines, line)) {
        int port;
        if (sscanf(line.c_str(), "\tPort %d:", &port) == 1) {
            block = &l.ports[port];
            depth = 2;
            continue;
        }
        // "Name:   value", or "UIs:" with its value on the lines below.
        const size_t colon = line.find(':');
        std::string value;
        if (colon != std::string::npos && (colon + 1 == line.size() || line[colon + 1] == ' ') &&
            line.find_first_not_of('\t') == depth) {
            field = trim(line.substr(0, colon));
            value = trim(line.substr(colon + 1));
        } else {
            value = trim(line);  // a continuation line of the last field, or nested in it
        }
        if (value.empty() || field.empty())
            continue;
        std::string& into = (*block)[field];
        into += into.empty() ? value : " " + value;
    }
    return l;
}

// The blank-separated words of a listed field, in whichever order lilv lists them (it
// follows its store's order, not the Turtle's).
std::set<std::string> words_of(const std::string& text)
{
    std::set<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        words.insert(word);
    return words;
}

std::string fixed(double v)
{
    char text[32];
    snprintf(text, sizeof text, "%f", v);
    return text;
}

TEST(lv2_tool, lists_or_renders_as_intended)
{
    if (tool == "lv2info") {
        const std::string ttl = work + "/plugin.ttl";
        unlink(ttl.c_str());
        process_result r = run_tool({"lv2info", VGS_LV2_URI}, "lv2info.log");
        ASSERT_EQ(r.exit_code, 0) << r.output;
        // With -p it writes the plug-in's whole description instead of the listing.
        process_result p = run_tool({"lv2info", "-p", ttl, VGS_LV2_URI}, "lv2info-p.log");
        ASSERT_EQ(p.exit_code, 0) << p.output;
        const listing l = parse_lv2info(r.output);
        EXPECT_EQ(l.plugin.at("Name"), "Vellum Grist Saturator");
        EXPECT_EQ(l.plugin.at("Class"), "Distortion Plugin");
        EXPECT_EQ(l.plugin.at("Author"), "Tresk.Sonwave");
        EXPECT_EQ(l.plugin.at("Has latency"), "no");
        EXPECT_NE(l.plugin.at("Optional Features").find("http://lv2plug.in/ns/lv2core#hardRTCapable"), std::string::npos);
        EXPECT_EQ(l.plugin.at("Extension Data"), "http://lv2plug.in/ns/ext/state#interface");
        EXPECT_NE(l.plugin.at("UIs").find("http://lv2plug.in/ns/extensions/ui#X11UI"), std::string::npos);
        ASSERT_EQ(l.ports.size(), 8u) << r.output;
        // Ports 0..5: the parameter table, in index order.
        for (int i = 0; i < param_count; i++) {
            SCOPED_TRACE(i);
            const auto& port = l.ports.at(i);
            const param_range& range = param_range_table[i];
            EXPECT_EQ(words_of(port.at("Type")), (std::set<std::string>{"http://lv2plug.in/ns/lv2core#ControlPort",
                                                                        "http://lv2plug.in/ns/lv2core#InputPort"}));
            EXPECT_EQ(port.at("Symbol"), param_state_keys[i]);
            EXPECT_EQ(port.at("Name"), ascii(param_info_table[i].title));
            EXPECT_EQ(port.at("Minimum"), fixed(range.min));
            EXPECT_EQ(port.at("Maximum"), fixed(range.max));
            EXPECT_EQ(port.at("Default"), fixed(range.default_plain));
            // Bypass is a toggled integer port.
            const std::set<std::string> properties = words_of(port.count("Properties") ? port.at("Properties") : "");
            const std::set<std::string> toggle = {"http://lv2plug.in/ns/lv2core#toggled",
                                                  "http://lv2plug.in/ns/lv2core#integer"};
            EXPECT_EQ(properties, range.toggle ? toggle : std::set<std::string>{});
        }
        const std::string lv2core = "http://lv2plug.in/ns/lv2core#";
        EXPECT_EQ(words_of(l.ports.at(6).at("Type")), (std::set<std::string>{lv2core + "AudioPort", lv2core + "InputPort"}));
        EXPECT_EQ(words_of(l.ports.at(7).at("Type")), (std::set<std::string>{lv2core + "AudioPort", lv2core + "OutputPort"}));
        // The factory bank: every preset the bundle's list names, by its label, and no other.
        std::ifstream bank(VGS_LV2_BUNDLE_DIR "/resources/presets/factory.txt");
        std::multiset<std::string> expected_presets, listed_presets;
        for (std::string file; std::getline(bank, file);)
            expected_presets.insert(file.substr(0, file.size() - strlen(".vstpreset")));
        EXPECT_GE(expected_presets.size(), 12u);
        const size_t presets_at = r.output.find("\tPresets:");
        ASSERT_NE(presets_at, std::string::npos) << r.output;
        // One label per line below the heading, up to the blank line that ends the block.
        std::istringstream preset_lines(r.output.substr(presets_at));
        std::string line;
        std::getline(preset_lines, line);
        while (std::getline(preset_lines, line) && !trim(line).empty())
            listed_presets.insert(trim(line));
        EXPECT_EQ(listed_presets, expected_presets);
        // Units are in the plug-in's full description: percent wherever the table says "%".
        std::ifstream in(ttl);
        std::stringstream description;
        description << in.rdbuf();
        size_t percent = 0;
        for (size_t at = 0; (at = description.str().find("units#pc>", at)) != std::string::npos; at++)
            percent++;
        size_t expected = 0;
        for (const auto& info : param_info_table)
            expected += ascii(info.units) == "%";
        EXPECT_EQ(percent, expected);
        // The release a host reads is the project's version.
        EXPECT_NE(description.str().find("doap:revision \"" VGS_VERSION "\""), std::string::npos) << description.str();
        return;
    }

    if (tool == "lv2_validate") {
        // lv2_validate splits its arguments at blanks: every Turtle file of the bundle
        // (the manifest's preset entries are labelled in presets.ttl) is checked from a
        // folder whose path has none.
        const std::string dir = work + "/validate";
        mkdir(work.c_str(), 0755);
        mkdir(dir.c_str(), 0755);
        std::vector<std::string> argv = {"lv2_validate"};
        std::set<std::string> files;
        if (DIR* d = opendir(VGS_LV2_BUNDLE_DIR)) {
            while (const dirent* e = readdir(d)) {
                const std::string name = e->d_name;
                if (name.size() > 4 && name.compare(name.size() - 4, 4, ".ttl") == 0)
                    files.insert(name);
            }
            closedir(d);
        }
        EXPECT_EQ(files, (std::set<std::string>{"manifest.ttl", "presets.ttl", "vellum_grist_saturator.ttl"}));
        for (const std::string& file : files) {
            std::ifstream from(std::string(VGS_LV2_BUNDLE_DIR) + "/" + file, std::ios::binary);
            std::ofstream(dir + "/" + file, std::ios::binary) << from.rdbuf();
            argv.push_back(dir + "/" + file);
        }
        process_result r = run_tool(argv, "lv2_validate.log");
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_NE(r.output.find("Found 0 errors"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("error:"), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("Skipping file " + dir), std::string::npos) << r.output;
        return;
    }

    ASSERT_EQ(tool, "lv2apply");
    // lv2apply has no block-size option: it reads, runs and writes one frame at a time.
    // vgs-host's render is the same whatever its block size, since a control set before
    // the first run() is a point at offset 0 of the first block.
    struct case_ {
        int rate;
        std::vector<std::pair<int, double>> values;  // parameter index, plain value
        int host_block;
    };
    const case_ cases[] = {
        {44100, {{0, 73.5}, {1, 31.25}, {2, 87.5}, {3, 62.5}, {4, 112.5}}, 1},
        {44100, {{0, 100}, {4, 200}, {5, 0}}, 512},
        {96000, {{0, 12}, {1, 90}, {2, 5}, {3, 100}, {4, 80}}, 64},
        {96000, {{5, 1}, {0, 90}}, 4096},
    };
    int n = 0;
    for (const case_& c : cases) {
        SCOPED_TRACE("case " + std::to_string(n));
        const std::vector<float> input = two_tone_signal(c.rate, 0.25);
        std::string error;
        const std::string in = work + "/in" + std::to_string(n) + ".wav";
        const std::string lv2_out = work + "/lv2apply" + std::to_string(n) + ".wav";
        const std::string host_out = work + "/host" + std::to_string(n) + ".wav";
        mkdir(work.c_str(), 0755);
        ASSERT_TRUE(wav_write_mono(in, input, c.rate, &error)) << error;
        std::vector<std::string> apply = {"lv2apply", "-i", in, "-o", lv2_out};
        // The documented equivalent: lv2apply -c SYMBOL VALUE … equals
        // vgs-host render -i IN --at 0:Title=VALUE … (any -b).
        std::vector<std::string> render = {VGS_HOST, "render", VGS_BUNDLE_DIR, "-i", in, "-o", host_out, "-q", "-b",
                                           std::to_string(c.host_block)};
        for (const auto& [index, value] : c.values) {
            char text[32];
            snprintf(text, sizeof text, "%.9g", value);
            apply.insert(apply.end(), {"-c", param_state_keys[index], text});
            render.insert(render.end(), {"--at", std::string("0:") + ascii(param_info_table[index].title) + "=" + text});
        }
        apply.push_back(VGS_LV2_URI);
        process_result a = run_tool(apply, "lv2apply" + std::to_string(n) + ".log");
        ASSERT_EQ(a.exit_code, 0) << a.output;
        process_result h = run_process(render, {}, work + "/host" + std::to_string(n) + ".log", 120.0);
        ASSERT_EQ(h.exit_code, 0) << h.output;
        wav_audio from_lv2, from_host;
        ASSERT_TRUE(wav_read(lv2_out, &from_lv2, &error)) << error;
        ASSERT_TRUE(wav_read(host_out, &from_host, &error)) << error;
        ASSERT_EQ(from_lv2.channels.size(), 1u);
        ASSERT_EQ(from_lv2.sample_rate, c.rate);
        const std::vector<float>& x = from_lv2.channels[0];
        const std::vector<float>& y = from_host.channels.at(0);
        ASSERT_EQ(x.size(), y.size());
        size_t differing = 0, changed = 0;
        for (size_t i = 0; i < x.size(); i++) {
            differing += std::memcmp(&x[i], &y[i], sizeof(float)) != 0;
            changed += x[i] != input[i];
        }
        EXPECT_EQ(differing, 0u);
        EXPECT_GT(changed, input.size() / 2) << "the plug-in left the signal alone";
        n++;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    tool = argc > 1 ? argv[1] : "";
    work = std::string(LV2_TEST_WORK_DIR) + "/tools-" + tool;
    return RUN_ALL_TESTS();
}
