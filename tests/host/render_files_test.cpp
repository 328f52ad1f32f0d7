// The vgs-host program's render with real files: it streams them (its memory does not
// follow the length of the input) and it replaces its output files whole or not at all.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef VGS_SANITIZED
// AddressSanitizer's run-time library: gives freed memory, its quarantine too, back.
extern "C" void __sanitizer_purge_allocator();
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "bundle_fixture.h"
#include "preset/vst_preset.h"
#include "render.h"

using namespace host_test;

namespace {

struct program_run {
    int status = -1;  // exit status, or 128 + signal
    long peak_rss_kb = 0;
    std::string errors;  // what it wrote to standard error
};

// vgs-host with the arguments after "render BUNDLE", optionally under a limit on the size
// of any file it writes (RLIMIT_FSIZE, which binds root as well); the limit's signal is
// ignored so that writes fail with EFBIG as on a full disk.
program_run run_render(const std::vector<std::string>& args, rlim_t file_size_limit = RLIM_INFINITY) {
    std::vector<std::string> all = {VGS_HOST_BIN, "render", VGS_BUNDLE_DIR};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int errors[2];
    if (pipe(errors) != 0) return {};
    fflush(nullptr);
#ifdef VGS_SANITIZED
    // The child's peak counts the pages it had from this process until it ran the program:
    // this process's freed blocks, which AddressSanitizer holds back, go first.
    __sanitizer_purge_allocator();
#endif
    pid_t pid = fork();
    if (pid == 0) {
        // A pipe, not a file: the limit would cut off standard error too.
        dup2(errors[1], STDERR_FILENO);
        close(errors[0]);
        signal(SIGXFSZ, SIG_IGN);
#ifdef VGS_SANITIZED
        // Nor does the program under AddressSanitizer keep every freed block in its peak.
        const char* options = getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(options ? options : "") + ":quarantine_size_mb=0").c_str(), 1);
#endif
        const rlimit limit = {file_size_limit, file_size_limit};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(120);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(errors[1]);
    program_run run;
    char buffer[512];
    ssize_t n;
    while ((n = read(errors[0], buffer, sizeof buffer)) > 0) run.errors.append(buffer, (size_t)n);
    close(errors[0]);
    int status = 0;
    rusage usage = {};
    if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        run.peak_rss_kb = usage.ru_maxrss;
    }
    return run;
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return in ? text.str() : "(absent)";
}

void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::set<std::string> entries_of(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

// A fresh directory of its own for each test, removed with everything in it.
struct scratch_dir {
    std::string path;
    scratch_dir() {
        std::string pattern = ::testing::TempDir() + "vgs_render_files_XXXXXX";
        path = mkdtemp(pattern.data()) ? pattern + "/" : "";
    }
    ~scratch_dir() {
        for (const std::string& name : entries_of(path))
            if (name != "." && name != "..") std::remove((path + name).c_str());
        rmdir(path.c_str());
    }
};

audio_data noise_file(const std::string& path, int channels, double rate, double seconds, uint32_t seed) {
    audio_data a;
    a.sample_rate = rate;
    for (int ch = 0; ch < channels; ++ch) a.channels.push_back(noise((size_t)(rate * seconds), seed + (uint32_t)ch));
    std::string error;
    EXPECT_TRUE(audio_file_write(path, a, &error)) << error;
    return a;
}

class render_files : public bundle_test {};

TEST_F(render_files, the_program_streams_the_same_samples_in_memory_that_does_not_follow_the_length) {
    scratch_dir dir;
    ASSERT_FALSE(dir.path.empty());
    // A stereo file whose length is no multiple of the block: the program's output is
    // the in-memory render of the same signal, sample for sample.
    const audio_data stereo = noise_file(dir.path + "stereo.wav", 2, 48000.0, 1.37, 3);
    ASSERT_EQ(run_render({"-q", "-b", "300", "--ramp", "Drive=10:90", "-i", dir.path + "stereo.wav", "-o",
                          dir.path + "stereo_out.wav"})
                  .status,
              0);
    audio_data from_program, in_memory;
    std::string error;
    ASSERT_TRUE(audio_file_read(dir.path + "stereo_out.wav", &from_program, &error)) << error;
    render_settings settings;
    settings.block_size = 300;
    settings.ramps = {{"Drive", 10.0, 90.0, 0.0, -1.0}};
    render_stats stats;
    ASSERT_TRUE(render_audio(module, settings, stereo, &in_memory, &stats, &error)) << error;
    ASSERT_EQ(from_program.channels.size(), 2u);
    EXPECT_TRUE(same_bits(from_program.channels[0], in_memory.channels[0]));
    EXPECT_TRUE(same_bits(from_program.channels[1], in_memory.channels[1]));

    // Peak memory for 4 s and for 100 s of input (19 MB of samples, held several times
    // over when a render keeps whole signals).
    long peak_kb[2] = {};
    const double lengths[2] = {4.0, 100.0};
    for (int i = 0; i < 2; ++i) {
        const std::string in = dir.path + "long_in.wav", out = dir.path + "long_out.wav";
        noise_file(in, 1, 48000.0, lengths[i], 7);
        program_run run = run_render({"-q", "-i", in, "-o", out});
        ASSERT_EQ(run.status, 0) << run.errors;
        peak_kb[i] = run.peak_rss_kb;
        audio_data written;
        ASSERT_TRUE(audio_file_read(out, &written, &error)) << error;
        EXPECT_EQ(written.channels.at(0).size(), (size_t)(48000.0 * lengths[i]));
        std::remove(in.c_str());
        std::remove(out.c_str());
    }
    RecordProperty("peak_rss_kb_4s", (int)peak_kb[0]);
    RecordProperty("peak_rss_kb_100s", (int)peak_kb[1]);
    EXPECT_LT(peak_kb[1] - peak_kb[0], 8 * 1024) << peak_kb[0] << " kB for 4 s, " << peak_kb[1] << " kB for 100 s";
}

TEST_F(render_files, a_failed_render_leaves_the_previous_files_and_nothing_else) {
    scratch_dir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string in = dir.path + "in.wav", short_in = dir.path + "short.wav", out = dir.path + "out.wav",
                      state = dir.path + "state.bin";
    noise_file(in, 1, 44100.0, 1.0, 11);          // its output: about 176 kB of WAV
    noise_file(short_in, 1, 44100.0, 0.002, 12);  // its output: smaller than a state chunk
    const struct {
        const char* what;
        const std::string& input;
        std::vector<std::string> args;
        rlim_t limit;
        bool replaced;
    } cases[] = {
        {"audio cut off by the size limit", in, {"-o", out}, 64 * 1024, false},
        {"state cut off by the size limit", in, {"--save-state", state}, 4096, false},
        {"audio cut off, state never written", in, {"-o", out, "--save-state", state}, 64 * 1024, false},
        {"state cut off after complete audio", short_in, {"-o", out, "--save-state", state}, 4096, false},
        {"no room even for the first bytes", in, {"-o", out, "--save-state", state}, 0, false},
        {"an output directory that does not exist", in, {"-o", dir.path + "missing/out.wav"}, RLIM_INFINITY, false},
        {"enough room", in, {"-o", out, "--save-state", state}, RLIM_INFINITY, true},
    };
    for (const auto& c : cases) {
        put(out, "previous audio");
        put(state, "previous state");
        ASSERT_EQ(chmod(out.c_str(), 0640), 0);
        const std::set<std::string> before = entries_of(dir.path);
        std::vector<std::string> args = {"-q", "-i", c.input};
        args.insert(args.end(), c.args.begin(), c.args.end());
        program_run run = run_render(args, c.limit);
        EXPECT_EQ(entries_of(dir.path), before) << c.what << ": no temporary file stays behind";
        if (!c.replaced) {
            EXPECT_EQ(run.status, 1) << c.what;
            EXPECT_NE(run.errors.find("vgs-host render: "), std::string::npos) << c.what << ": " << run.errors;
            // Compared whole, reported by size: a partial file is binary.
            EXPECT_TRUE(contents(out) == "previous audio") << c.what << ": " << contents(out).size() << " bytes";
            EXPECT_TRUE(contents(state) == "previous state") << c.what << ": " << contents(state).size() << " bytes";
            continue;
        }
        EXPECT_EQ(run.status, 0) << c.what << ": " << run.errors;
        audio_data written;
        std::string error;
        ASSERT_TRUE(audio_file_read(out, &written, &error)) << error;
        EXPECT_EQ(written.channels.at(0).size(), 44100u);
        EXPECT_EQ(contents(state).size(), 5632u);
        struct stat st;
        ASSERT_EQ(stat(out.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << "a replaced file keeps its mode";
    }
}

// vgs-host info's output, with HOME as the test sets it.
std::string run_info() {
    const std::string command = std::string("'") + VGS_HOST_BIN + "' info '" + VGS_BUNDLE_DIR + "' 2>&1";
    FILE* p = popen(command.c_str(), "r");
    std::string text;
    char buffer[512];
    while (p && fgets(buffer, sizeof buffer, p)) text += buffer;
    if (p) pclose(p);
    return text;
}

// HOME for the programs the test starts, put back afterwards.
struct home_override {
    std::string old;
    bool had;
    explicit home_override(const std::string& home) : had(getenv("HOME") != nullptr) {
        if (had) old = getenv("HOME");
        setenv("HOME", home.c_str(), 1);
    }
    ~home_override() {
        if (had) setenv("HOME", old.c_str(), 1);
        else unsetenv("HOME");
    }
};

TEST_F(render_files, presets_by_name_or_file_and_the_files_it_refuses_without_writing_anything) {
    scratch_dir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string in = dir.path + "in.wav", out = dir.path + "out.wav";
    const audio_data input = noise_file(in, 1, 44100.0, 0.5, 31);
    const std::string factory = std::string(VGS_BUNDLE_DIR) + "/Contents/Resources/presets/Crunch.vstpreset";
    const std::string good = contents(factory);
    ASSERT_GT(good.size(), 48u);
    std::string other_class = good, corrupt = good;
    other_class[8] = other_class[8] == '7' ? '8' : '7';
    corrupt[48] = 'D';  // the component chunk's first member is "dsp.tar" no more
    put(dir.path + "truncated.vstpreset", good.substr(0, good.size() - 1));
    put(dir.path + "oversized.vstpreset", good + std::string(vst_preset_max_bytes, ' '));
    put(dir.path + "other.vstpreset", other_class);
    put(dir.path + "corrupt.vstpreset", corrupt);
    put(dir.path + "noise.vstpreset", "VST3 and then nothing that makes sense");
    ASSERT_EQ(mkfifo((dir.path + "fifo.vstpreset").c_str(), 0600), 0);
    const struct {
        std::string preset, reason;
    } refused[] = {
        {dir.path + "truncated.vstpreset", "not a preset of this plug-in"},
        {dir.path + "oversized.vstpreset", "larger than 64 KiB"},
        {dir.path + "other.vstpreset", "another plug-in's class id"},
        {dir.path + "corrupt.vstpreset", "damaged state chunk"},
        {dir.path + "noise.vstpreset", "malformed file"},
        {dir.path + "fifo.vstpreset", "not a regular file"},
        {dir.path + "missing.vstpreset", "No such file"},
        {"No Such Preset", "no preset named \"No Such Preset\""},
    };
    for (const auto& r : refused) {
        put(out, "previous audio");
        const std::set<std::string> before = entries_of(dir.path);
        program_run run = run_render({"-q", "-i", in, "-o", out, "--preset", r.preset});
        EXPECT_EQ(run.status, 1) << r.preset;
        EXPECT_NE(run.errors.find(r.reason), std::string::npos) << r.preset << ": " << run.errors;
        EXPECT_TRUE(contents(out) == "previous audio") << r.preset;
        EXPECT_EQ(entries_of(dir.path), before) << r.preset;
    }

    // By name: the factory bank first, then the user's folder (under HOME).
    const std::string home = dir.path + "home";
    home_override home_set(home);
    vst_preset mine = {"My Bypass", "", {100, 0, 0, 0, 200, 1}};
    const std::string user_dir = home + "/.vst3/presets/Tresk.Sonwave/Vellum Grist Saturator/";
    ASSERT_EQ(vst_preset_save_file((user_dir + "My Bypass.vstpreset").c_str(), &mine), 0);
    put(user_dir + "broken.vstpreset", "VST3");
    ASSERT_EQ(run_render({"-q", "-i", in, "-o", out, "--preset", "My Bypass"}).status, 0);
    audio_data written, crunch, expected;
    std::string error;
    ASSERT_TRUE(audio_file_read(out, &written, &error)) << error;
    // Bypass has come to rest during the settling: the input passes untouched.
    EXPECT_TRUE(same_bits(written.channels.at(0), input.channels.at(0)));
    ASSERT_EQ(run_render({"-q", "-i", in, "-o", out, "--preset", "Crunch"}).status, 0);
    ASSERT_TRUE(audio_file_read(out, &crunch, &error)) << error;
    ASSERT_EQ(run_render({"-q", "-i", in, "-o", out, "--preset", factory}).status, 0);
    ASSERT_TRUE(audio_file_read(out, &expected, &error)) << error;
    EXPECT_TRUE(same_bits(crunch.channels.at(0), expected.channels.at(0)));
    EXPECT_FALSE(same_bits(crunch.channels.at(0), input.channels.at(0)));
    EXPECT_EQ(run_render({"-q", "-i", in, "--preset", "Crunch", "--load-state", factory}).status, 2);

    // info lists both kinds, the refused file with its reason; a FIFO there does not hold it up.
    ASSERT_EQ(mkfifo((user_dir + "pipe.vstpreset").c_str(), 0600), 0);
    const std::string info = run_info();
    EXPECT_NE(info.find("presets: 12 factory"), std::string::npos) << info;
    EXPECT_NE(info.find("3 user"), std::string::npos) << info;
    EXPECT_NE(info.find("factory \"Default\" (General): Drive 50, Tone 50, Heat 50, Mix 100, Volume 100, Bypass 0"),
              std::string::npos)
        << info;
    EXPECT_NE(info.find("user    \"My Bypass\": Drive 100, Tone 0, Heat 0, Mix 0, Volume 200, Bypass 1"),
              std::string::npos)
        << info;
    EXPECT_NE(info.find("user    \"broken\": refused: not a preset"), std::string::npos) << info;
    EXPECT_NE(info.find("user    \"pipe\": refused:"), std::string::npos) << info;
    unlink((user_dir + "pipe.vstpreset").c_str());
    std::system(("rm -rf '" + home + "'").c_str());
}

}  // namespace
