// The aarch64 edition against the x86-64 one: the same renders, the same saved states and
// the same LV2 runs give the same files, byte for byte. The aarch64 programs (this one
// too) run under qemu-user; the x86-64 ones are the native build tree's (VGS_NATIVE_BUILD)
// and Debian's amd64 lv2apply, the aarch64 ones this tree's and Debian's arm64 lv2apply.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "run_process.h"
#include "wav_file.h"

namespace {

const std::string work = ARCH_WORK_DIR;

struct edition {
    const char* name;
    std::string host;  // vgs-host
    std::string vst3;  // the VST 3 bundle
    std::string lv2;   // the LV2 bundle
    std::string lilv;  // the folder of Debian's lilv-utils of that architecture
};

const edition x86 = {"x86_64", NATIVE_HOST, NATIVE_VST3_BUNDLE, NATIVE_LV2_BUNDLE, "/usr/bin"};
const edition arm = {"aarch64", VGS_HOST, VGS_BUNDLE_DIR, VGS_LV2_BUNDLE_DIR, LILV_ARM64_BIN};

std::string file_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs argv to completion; emulated programs get ten minutes.
void run_ok(const std::vector<std::string>& argv, const std::vector<std::string>& environment, const std::string& log)
{
    mkdir(work.c_str(), 0755);
    const process_result r = run_process(argv, environment, work + "/" + log, 600.0);
    ASSERT_EQ(r.exit_code, 0) << argv[0] << ":\n" << r.output;
}

// Two files with the same bytes.
void expect_same_files(const std::string& a, const std::string& b)
{
    const std::string x = file_bytes(a), y = file_bytes(b);
    ASSERT_FALSE(x.empty()) << a;
    EXPECT_TRUE(x == y) << a << " and " << b << " differ";
}

// Two sound files with the same rate and the same bits in every sample (their headers
// differ in the time stamp of libsndfile's PEAK chunk, written by the second).
void expect_same_audio(const std::string& a, const std::string& b)
{
    wav_audio x, y;
    std::string error;
    ASSERT_TRUE(wav_read(a, &x, &error)) << error;
    ASSERT_TRUE(wav_read(b, &y, &error)) << error;
    ASSERT_EQ(x.sample_rate, y.sample_rate);
    ASSERT_EQ(x.channels.size(), 1u);
    ASSERT_EQ(y.channels.size(), 1u);
    ASSERT_EQ(x.channels[0].size(), y.channels[0].size());
    size_t differing = 0, first = 0;
    for (size_t i = x.channels[0].size(); i-- > 0;)
        if (std::memcmp(&x.channels[0][i], &y.channels[0][i], sizeof(float)) != 0) {
            differing++;
            first = i;
        }
    EXPECT_EQ(differing, 0u) << a << " and " << b << " differ, first at sample " << first;
}

void expect_sound(const std::string& wav)
{
    wav_audio audio;
    std::string error;
    ASSERT_TRUE(wav_read(wav, &audio, &error)) << error;
    ASSERT_FALSE(audio.channels.empty());
    double energy = 0.0;
    for (float x : audio.channels[0])
        energy += (double)x * x;
    EXPECT_GT(energy, 1.0) << wav << " is (nearly) silent";
}

// vgs-host render of one setting on one edition (through `bundle`, its own by default).
std::string render(const edition& e, const std::string& name, const std::vector<std::string>& args,
                   const std::string& bundle = "")
{
    const std::string out = work + "/" + name + "." + e.name + ".wav";
    std::vector<std::string> argv = {e.host, "render", bundle.empty() ? e.vst3 : bundle, "-o", out, "-q"};
    argv.insert(argv.end(), args.begin(), args.end());
    run_ok(argv, {}, name + "." + e.name + ".log");
    return out;
}

struct render_case {
    const char* name;
    std::vector<std::string> args;
};

// The demo as `make demo` renders it, then automation on every control at the three
// oversampling factors of the common rates, with odd block sizes (queue points in the
// middle of blocks), and glides of the levels to silence.
const render_case render_cases[] = {
    {"demo", {}},
    {"every_control_moving",
     {"--ramp", "Drive=0:100", "--ramp", "Tone=100:0", "--ramp", "Heat=0:100", "--ramp", "Mix=100:0", "--ramp",
      "Volume=200:0", "--ramp", "Bypass=0:1", "-b", "97"}},
    {"every_control_moving_at_96k",
     {"-r", "96000", "--ramp", "Drive=100:0", "--ramp", "Tone=0:100", "--ramp", "Heat=100:0", "--ramp", "Mix=0:100",
      "--ramp", "Volume=0:200", "--ramp", "Bypass=1:0", "-b", "64"}},
    {"every_control_moving_at_22k",
     {"-r", "22050", "--ramp", "Drive=20:90@1:8", "--ramp", "Tone=90:10@2:9", "--ramp", "Heat=0:100@0:5",
      "--ramp", "Mix=100:30@3:6", "--ramp", "Volume=50:150@0:10", "--at", "7.5:Bypass=1", "-b", "511"}},
    {"levels_gliding_to_zero",
     {"--set", "Drive=100", "--at", "2:Volume=0", "--at", "3.5:Volume=100", "--at", "5:Mix=0", "--at", "6.5:Mix=100",
      "--at", "8:Bypass=1", "-b", "1000"}},
};

} // namespace

TEST(cross_arch, vgs_host_renders_the_same_bits_on_both_processors)
{
    for (const render_case& c : render_cases) {
        SCOPED_TRACE(c.name);
        const std::string a = render(x86, c.name, c.args);
        const std::string b = render(arm, c.name, c.args);
        expect_sound(a);
        expect_same_audio(a, b);
    }
}

// A bundle carrying both libraries, Contents/x86_64-linux and Contents/aarch64-linux:
// each host loads its own, and both sound as their own bundles do.
TEST(cross_arch, one_bundle_carries_both_libraries)
{
    const std::string both = work + "/both/Vellum Grist Saturator.vst3";
    run_ok({"rm", "-rf", work + "/both"}, {}, "both-rm.log");
    run_ok({"mkdir", "-p", work + "/both"}, {}, "both-mkdir.log");
    run_ok({"cp", "-R", x86.vst3, both}, {}, "both-x86.log");
    run_ok({"cp", "-R", arm.vst3 + "/Contents/aarch64-linux", both + "/Contents/"}, {}, "both-arm.log");
    const std::vector<std::string> args = {"--set", "Drive=80", "--ramp", "Tone=0:100", "-b", "300"};
    const std::string own = render(x86, "own_bundle", args);
    for (const edition* e : {&x86, &arm}) {
        SCOPED_TRACE(e->name);
        expect_same_audio(own, render(*e, "both_bundle", args, both));
    }
}

// A state saved by either edition is the same chunk, and either edition plays a chunk
// saved by the other exactly as the one that saved it.
TEST(cross_arch, a_state_saved_on_one_processor_loads_on_the_other)
{
    const std::vector<std::string> settings = {"--set", "Drive=73.5", "--set", "Tone=31.25", "--set", "Heat=87.5",
                                               "--set", "Mix=62.5", "--ramp", "Volume=100:112.5", "-r", "48000"};
    std::string saved[2];
    int n = 0;
    for (const edition* e : {&x86, &arm}) {
        saved[n] = work + "/state." + e->name;
        std::vector<std::string> args = settings;
        args.insert(args.end(), {"--save-state", saved[n]});
        render(*e, "state_saved", args);
        n++;
    }
    expect_same_files(saved[0], saved[1]);
    for (int from = 0; from < 2; from++) {
        SCOPED_TRACE(std::string("saved by ") + (from == 0 ? x86.name : arm.name));
        const std::vector<std::string> load = {"--load-state", saved[from], "-r", "48000", "-b", "128"};
        const std::string name = std::string("state_loaded_from_") + (from == 0 ? x86.name : arm.name);
        const std::string a = render(x86, name, load);
        expect_sound(a);
        expect_same_audio(a, render(arm, name, load));
    }
}

// Debian's lv2apply of each architecture through that architecture's LV2 bundle.
TEST(cross_arch, lv2apply_renders_the_same_bits_on_both_processors)
{
    struct case_ {
        int rate;
        std::vector<std::string> controls;  // lv2apply -c SYMBOL VALUE …
    };
    const case_ cases[] = {
        {44100, {"drive", "73.5", "tone", "31.25", "heat", "87.5", "mix", "62.5", "volume", "112.5"}},
        {96000, {"drive", "12", "tone", "90", "heat", "5", "volume", "80"}},
        {22050, {"drive", "100", "volume", "200", "bypass", "0"}},
    };
    int n = 0;
    for (const case_& c : cases) {
        SCOPED_TRACE("case " + std::to_string(n));
        const std::vector<float> input = two_tone_signal(c.rate, 0.5);
        const std::string in = work + "/lv2_in" + std::to_string(n) + ".wav";
        std::string error;
        mkdir(work.c_str(), 0755);
        ASSERT_TRUE(wav_write_mono(in, input, c.rate, &error)) << error;
        std::string out[2];
        int k = 0;
        for (const edition* e : {&x86, &arm}) {
            // LV2_PATH: the edition's bundle alone, through a link of its own, and the
            // system's vocabularies.
            const std::string dir = work + "/lv2." + e->name;
            mkdir(dir.c_str(), 0755);
            const std::string link = dir + "/Vellum Grist Saturator.lv2";
            unlink(link.c_str());
            ASSERT_EQ(symlink(e->lv2.c_str(), link.c_str()), 0);
            out[k] = work + "/lv2apply" + std::to_string(n) + "." + e->name + ".wav";
            std::vector<std::string> argv = {e->lilv + "/lv2apply", "-i", in, "-o", out[k]};
            for (size_t i = 0; i + 1 < c.controls.size(); i += 2)
                argv.insert(argv.end(), {"-c", c.controls[i], c.controls[i + 1]});
            argv.push_back(VGS_LV2_URI);
            run_ok(argv, {"LV2_PATH=" + dir + ":/usr/lib/lv2"}, "lv2apply" + std::to_string(n) + "." + e->name + ".log");
            k++;
        }
        expect_sound(out[0]);
        expect_same_audio(out[0], out[1]);
        n++;
    }
}

// Flush-to-zero's one difference between the processors, over signals and states at its
// edge (tests/support/ftz_edge_sweep.cpp): for an exact product in
// [2^-126 − 2^-151, 2^-126) x86-64 keeps ±2^-126, aarch64 gives ±0 (sums of floats are
// multiples of 2^-149 and never land there). Such a value reaches the output only where
// it is multiplied by at least 1 and nothing larger is added to it: a level gliding to 0
// over digital silence after sound, as the bypass glide in (V − 0)·bypass + 0 with a wet
// tail |V| ≥ 1 (where all of the sweep's differing samples come from). There aarch64 has
// exactly 0 and x86-64 a value far below any audible level (the sweep's largest is under
// 4·2^-126; the bound asserted is 2^-120), one sample per hit; every other sample is
// the same. The sweep must reach the window at all.
TEST(cross_arch, flush_to_zero_edge_differs_only_in_samples_below_two_to_the_minus_120)
{
    std::string sweep[2];
    int k = 0;
    for (const char* program : {NATIVE_FTZ_SWEEP, ARM_FTZ_SWEEP}) {
        sweep[k] = work + "/ftz_edge_sweep." + (k ? arm.name : x86.name) + ".f32";
        run_ok({program, sweep[k]}, {}, std::string("ftz_edge_sweep.") + (k ? arm.name : x86.name) + ".log");
        k++;
    }
    const std::string a = file_bytes(sweep[0]), b = file_bytes(sweep[1]);
    ASSERT_EQ(a.size(), b.size());
    ASSERT_GT(a.size(), 1000000u);
    const size_t n = a.size() / sizeof(float);
    size_t differing = 0, tiny_outputs = 0;
    float largest = 0.0f;
    for (size_t i = 0; i < n; i++) {
        float x, y;
        std::memcpy(&x, a.data() + i * sizeof x, sizeof x);
        std::memcpy(&y, b.data() + i * sizeof y, sizeof y);
        if (x != 0.0f && std::fabs(x) < 0x1p-120f)
            tiny_outputs++;
        if (std::memcmp(&x, &y, sizeof x) == 0)
            continue;
        differing++;
        largest = std::max(largest, std::fabs(x));
        EXPECT_EQ(y, 0.0f) << "sample " << i << ": x86-64 " << x << ", aarch64 " << y;
        EXPECT_LT(std::fabs(x), 0x1p-120f) << "sample " << i << ": x86-64 " << x << ", aarch64 " << y;
    }
    EXPECT_GT(differing, 0u) << "the sweep never reached the window";
    std::printf("%zu samples, %zu nonzero below 2^-120 on x86-64, %zu differ, largest x86-64 value among them %g\n", n,
                tiny_outputs, differing, largest);
}

// The arm64 Debian package as `make package-aarch64` makes it: its dependencies read by
// dpkg-shlibdeps for arm64, the aarch64 libraries in the VST 3 bundle's own folder,
// nothing that lintian counts as an error or a warning.
TEST(cross_arch, the_arm64_package_is_lintian_clean_with_its_arm64_dependencies)
{
    run_ok({"env", "DEB_HOST_ARCH=arm64", "cmake", "--build", ARM_BUILD_DIR, "--target", "package"}, {},
           "package.log");
    const std::string deb = std::string(ARM_BUILD_DIR) + "/vellum-grist-saturator_" VGS_VERSION "_arm64.deb";
    const process_result fields = run_process({"dpkg-deb", "-f", deb, "Architecture", "Depends"}, {},
                                              work + "/package-fields.log", 60.0);
    ASSERT_EQ(fields.exit_code, 0) << fields.output;
    EXPECT_NE(fields.output.find("Architecture: arm64"), std::string::npos) << fields.output;
    for (const char* library : {"libc6", "libx11-6", "libcairo2", "libsndfile1"}) {
        const size_t at = fields.output.find(std::string(" ") + library);
        ASSERT_NE(at, std::string::npos) << library << "\n" << fields.output;
        const char after = fields.output[at + 1 + std::strlen(library)];
        EXPECT_TRUE(after == ' ' || after == ',' || after == '\n') << library << "\n" << fields.output;
    }
    const process_result files = run_process({"dpkg-deb", "-c", deb}, {}, work + "/package-files.log", 60.0);
    for (const char* path : {"/usr/lib/vst3/Vellum Grist Saturator.vst3/Contents/aarch64-linux/Vellum Grist Saturator.so",
                             "/usr/lib/vst3/Vellum Grist Saturator.vst3/Contents/aarch64-linux/middleman",
                             "/usr/lib/lv2/Vellum Grist Saturator.lv2/vellum_grist_saturator.so", "/usr/bin/vgs-host"})
        EXPECT_NE(files.output.find(std::string(".") + path + "\n"), std::string::npos) << path;
    const process_result lint = run_process({"lintian", "--display-info", "--pedantic", deb}, {},
                                            work + "/lintian.log", 600.0);
    ASSERT_GE(lint.exit_code, 0) << "lintian did not run";
    std::istringstream lines(lint.output);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_NE(line.rfind("E: ", 0), 0u) << line;
        EXPECT_NE(line.rfind("W: ", 0), 0u) << line;
    }
    EXPECT_EQ(lint.exit_code, 0) << lint.output;
}
