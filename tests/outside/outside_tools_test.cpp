// The outside validators on the built bundles: Steinberg's validator (plain and
// extensive) and moduleinfotool on the VST 3 bundle, and pluginval at strictness 10 on
// both editions, under an X server of the test's own. They come prebuilt from
// ../shared/tools beside the project; where that folder is absent the test says so and is
// skipped. Which check runs is the first argument, so each is one CTest test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "run_process.h"
#include "support/xvfb_server.h"

namespace {

std::string check;  // from the command line
const std::string tools = VGS_OUTSIDE_TOOLS;
const std::string work = OUTSIDE_WORK_DIR;

// A fresh folder under the work folder, emptied first.
std::string fresh_dir(const std::string& name)
{
    const std::string dir = work + "/" + name;
    EXPECT_EQ(system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()), 0);
    return dir;
}

struct outside_check {
    const char* name;
    std::vector<std::string> argv;  // argv[0] is a program in the tools folder
    // Lines the tool prints when it finds nothing wrong.
    std::vector<std::string> verdicts;
    // pluginval hosts the editor, so it gets a display, and a fresh HOME (for LV2 one whose
    // .lv2 folder holds only the built bundle: pluginval looks in the default folders).
    bool display;
    bool lv2;
};

const outside_check checks[] = {
    {"validator", {"validator", VGS_BUNDLE_DIR}, {"tests passed, 0 tests failed"}, false, false},
    {"validator_extensive", {"validator", "-e", VGS_BUNDLE_DIR}, {"tests passed, 0 tests failed"}, false, false},
    // Silent when the bundle's moduleinfo.json is valid.
    {"moduleinfotool", {"moduleinfotool", "-validate", "-path", VGS_BUNDLE_DIR}, {}, false, false},
    {"pluginval_vst3", {"pluginval", "--strictness-level", "10", "--validate", VGS_BUNDLE_DIR},
     {"Num plugins found: 1", "SUCCESS"}, true, false},
    {"pluginval_lv2", {"pluginval", "--strictness-level", "10", "--validate", "LV2_BUNDLE_IN_HOME"},
     {"Num plugins found: 1", "SUCCESS"}, true, true},
};

TEST(outside_validator, finds_nothing_wrong)
{
    const outside_check* c = nullptr;
    for (const outside_check& candidate : checks)
        if (check == candidate.name)
            c = &candidate;
    ASSERT_NE(c, nullptr) << "no check named \"" << check << "\"";
    const std::string program = tools + "/" + c->argv[0];
    if (access(program.c_str(), X_OK) != 0)
        GTEST_SKIP() << "skipped: " << program << " is absent (the outside validators come from "
                     << "../shared/tools beside the project, which this machine does not have)";

    std::vector<std::string> argv = c->argv;
    argv[0] = program;
    std::vector<std::string> environment;
    xvfb_server xvfb;
    if (c->display) {
        ASSERT_TRUE(xvfb.start());
        const std::string home = fresh_dir(std::string(c->name) + "-home");
        // The editor's news store too stays inside the test's folder.
        environment = {"DISPLAY=" + xvfb.display(), "HOME=" + home, "XDG_DATA_HOME=" + home + "/data",
                       "XDG_CONFIG_HOME=" + home + "/config", "XDG_CACHE_HOME=" + home + "/cache"};
        if (c->lv2) {
            const std::string bundle = home + "/.lv2/Vellum Grist Saturator.lv2";
            ASSERT_EQ(mkdir((home + "/.lv2").c_str(), 0755), 0);
            ASSERT_EQ(system(("cp -a '" VGS_LV2_BUNDLE_DIR "' '" + bundle + "'").c_str()), 0);
            argv.back() = bundle;
        }
    }
    mkdir(work.c_str(), 0755);
    process_result r = run_process(argv, environment, work + "/" + c->name + ".log", 1200.0);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    for (const std::string& verdict : c->verdicts)
        EXPECT_NE(r.output.find(verdict), std::string::npos) << "no \"" << verdict << "\" in:\n" << r.output;
    if (c->verdicts.empty())
        EXPECT_EQ(r.output, "");
    RecordProperty("seconds", std::to_string(r.seconds));
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    check = argc > 1 ? argv[1] : "";
    return RUN_ALL_TESTS();
}
