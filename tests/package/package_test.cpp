// The Debian package as users meet it. For anyone: lintian finds no error, the package
// holds exactly the bundle, the host, its manual page and the documents with the right
// modes and declares every library its programs need, and the developer's install still
// goes to ~/.vst3 and ~/.lv2 alone (its presets to the user's VST 3 preset folder). For root:
// apt installs it, the DAW finds the plug-in in the system-wide folder with nothing in
// ~/.vst3 and lists the factory presets from /usr/share/vst3/presets, the installed host
// renders through the installed bundle, and a purge leaves no file of it behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "run_process.h"
#include "session_xml.h"
#include "wav_file.h"

namespace fs = std::filesystem;

namespace {

const std::string package = VGS_PACKAGE_NAME;
const std::string deb = VGS_PACKAGE_FILE;
const std::string system_bundle = "/usr/lib/vst3/Vellum Grist Saturator.vst3";
const std::string system_module = system_bundle + "/Contents/x86_64-linux/Vellum Grist Saturator.so";
const std::string system_middleman = system_bundle + "/Contents/x86_64-linux/middleman";
const std::string system_lv2_bundle = "/usr/lib/lv2/Vellum Grist Saturator.lv2";
const std::string system_lv2_plugin = system_lv2_bundle + "/vellum_grist_saturator.so";
const std::string system_lv2_editor = system_lv2_bundle + "/vellum_grist_saturator_ui.so";
const std::string system_lv2_middleman = system_lv2_bundle + "/middleman";
// Where VST 3 hosts look for presets system-wide, and the user's own folder.
const std::string system_presets = "/usr/share/vst3/presets/Tresk.Sonwave/Vellum Grist Saturator";
const std::string preset_folder = "/.vst3/presets/Tresk.Sonwave/Vellum Grist Saturator";

// The factory bank's file names in bank order, as the build wrote them.
std::vector<std::string> factory_files()
{
    std::vector<std::string> names;
    std::ifstream list(VGS_BUNDLE_DIR "/Contents/Resources/presets/factory.txt");
    for (std::string line; std::getline(list, line);)
        names.push_back(line);
    return names;
}

process_result run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {})
{
    static int count = 0;
    fs::create_directories(PACKAGE_WORK_DIR "/logs");
    return run_process(argv, env, PACKAGE_WORK_DIR "/logs/" + std::to_string(count++) + ".log", 300.0);
}

std::string read_text(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// `dpkg-deb -c` lines: mode, owner, size, date, time, then the path, which may hold blanks.
struct deb_entry {
    std::string mode, owner, path;
};

std::vector<deb_entry> deb_contents()
{
    std::vector<deb_entry> entries;
    std::istringstream lines(run({"dpkg-deb", "-c", deb}).output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        deb_entry e;
        std::string size, date, time;
        fields >> e.mode >> e.owner >> size >> date >> time;
        std::getline(fields >> std::ws, e.path);
        if (e.path.rfind("./", 0) == 0)
            e.path = e.path.substr(1);
        if (e.path.size() > 1 && e.path.back() == '/')
            e.path.pop_back();
        entries.push_back(e);
    }
    return entries;
}

std::set<std::string> tree(const std::string& root)
{
    std::set<std::string> paths;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        paths.insert(it->path());
    return paths;
}

// Any state in which dpkg keeps files of the package: installed, unpacked, half-installed.
bool installed()
{
    process_result r = run({"dpkg-query", "-W", "-f=${db:Status-Abbrev}", package});
    return r.exit_code == 0 && r.output.size() >= 2 && r.output[1] != 'n';
}

TEST(package_file, lintian_reports_no_errors)
{
    process_result r = run({"lintian", "--display-info", "--pedantic", deb});
    ASSERT_GE(r.exit_code, 0) << "lintian did not run (scripts/install-deps.sh installs it)";
    printf("%s", r.output.c_str());  // warnings and notes stay in the test's log
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);)
        EXPECT_NE(line.rfind("E: ", 0), 0u) << line;
    EXPECT_EQ(r.exit_code, 0) << r.output;
}

TEST(package_file, holds_the_bundle_the_host_and_documents_with_their_modes)
{
    const std::string doc = "/usr/share/doc/" + package;
    std::map<std::string, std::string> expected = {
        {"/usr/bin/vgs-host", "-rwxr-xr-x"},
        {system_module, "-rw-r--r--"},  // loaded, never run
        {system_middleman, "-rwxr-xr-x"},
        {system_bundle + "/Contents/Resources/moduleinfo.json", "-rw-r--r--"},
        {system_bundle + "/Contents/Resources/news.txt", "-rw-r--r--"},
        {system_lv2_bundle + "/manifest.ttl", "-rw-r--r--"},
        {system_lv2_bundle + "/vellum_grist_saturator.ttl", "-rw-r--r--"},
        {system_lv2_plugin, "-rw-r--r--"},
        {system_lv2_editor, "-rw-r--r--"},
        {system_lv2_middleman, "-rwxr-xr-x"},
        {system_lv2_bundle + "/resources/news.txt", "-rw-r--r--"},
        {"/usr/share/man/man1/vgs-host.1.gz", "-rw-r--r--"},
        {doc + "/README.md", "-rw-r--r--"},
        {doc + "/copyright", "-rw-r--r--"},
        {doc + "/changelog.gz", "-rw-r--r--"},
    };
    // The factory bank: in both bundles with its list, and where VST 3 hosts look for presets.
    const std::vector<std::string> bank = factory_files();
    ASSERT_GE(bank.size(), 12u);
    for (const std::string& dir : {system_bundle + "/Contents/Resources/presets", system_lv2_bundle + "/resources/presets"}) {
        expected[dir + "/factory.txt"] = "-rw-r--r--";
        for (const std::string& file : bank)
            expected[dir + "/" + file] = "-rw-r--r--";
    }
    for (const std::string& file : bank)
        expected[system_presets + "/" + file] = "-rw-r--r--";
    expected[system_lv2_bundle + "/presets.ttl"] = "-rw-r--r--";
    for (const auto& png : fs::directory_iterator(VGS_SOURCE_DIR "/docs"))
        if (png.path().extension() == ".png")
            expected[doc + "/docs/" + png.path().filename().string()] = "-rw-r--r--";

    std::map<std::string, std::string> files;
    for (const deb_entry& e : deb_contents()) {
        EXPECT_EQ(e.owner, "root/root") << e.path;
        if (e.mode[0] != 'd')
            files[e.path] = e.mode;
        else
            EXPECT_EQ(e.mode, "drwxr-xr-x") << e.path;
    }
    EXPECT_EQ(files, expected);

    process_result fields = run({"dpkg-deb", "-f", deb, "Package", "Version", "Architecture"});
    EXPECT_EQ(fields.output, "Package: " + package + "\nVersion: " VGS_VERSION "\nArchitecture: amd64\n");
}

TEST(package_file, depends_on_the_package_of_every_library_its_programs_load)
{
    const std::string root = PACKAGE_WORK_DIR "/contents";
    fs::remove_all(root);
    ASSERT_EQ(run({"dpkg-deb", "-x", deb, root}).exit_code, 0);
    // "libc6 (>= 2.34), libx11-6, a | b": the package names alone.
    std::set<std::string> depends;
    std::string field = run({"dpkg-deb", "-f", deb, "Depends"}).output;
    std::replace(field.begin(), field.end(), '|', ',');
    std::istringstream alternatives(field);
    for (std::string item; std::getline(alternatives, item, ',');) {
        std::istringstream words(item);
        std::string name;
        if (words >> name)
            depends.insert(name);
    }
    const std::string cache = run({"ldconfig", "-p"}).output;
    std::set<std::string> needed;
    for (const std::string& program : {std::string("/usr/bin/vgs-host"), system_middleman, system_module,
                                       system_lv2_plugin, system_lv2_editor, system_lv2_middleman}) {
        // "0x...01 (NEEDED)   Shared library: [libX11.so.6]"
        std::istringstream lines(run({"readelf", "-d", root + program}).output);
        for (std::string line; std::getline(lines, line);) {
            const size_t open = line.find('['), close = line.find(']');
            if (line.find("(NEEDED)") != std::string::npos && open < close)
                needed.insert(line.substr(open + 1, close - open - 1));
        }
    }
    ASSERT_TRUE(needed.count("libc.so.6") && needed.count("libX11.so.6")) << "readelf found too little";
    for (const std::string& library : needed) {
        // ldconfig: "\tlibX11.so.6 (libc6,x86-64) => /lib/x86_64-linux-gnu/libX11.so.6"
        const size_t at = cache.find("\t" + library + " (libc6,x86-64) => ");
        ASSERT_NE(at, std::string::npos) << library;
        const size_t start = cache.find("=> ", at) + 3;
        std::string path = cache.substr(start, cache.find('\n', start) - start);
        process_result owner = run({"dpkg", "-S", path});
        if (owner.exit_code != 0 && path.rfind("/lib/", 0) == 0)
            owner = run({"dpkg", "-S", "/usr" + path});  // merged /usr: dpkg knows one of the names
        ASSERT_EQ(owner.exit_code, 0) << library << " at " << path << " belongs to no package";
        const std::string name = owner.output.substr(0, owner.output.find(':'));
        EXPECT_TRUE(depends.count(name)) << library << " comes from " << name << ", which Depends lacks: " << field;
    }
}

TEST(package_file, developer_install_still_goes_to_the_users_plugin_folders_only)
{
    const std::string dest = PACKAGE_WORK_DIR "/destdir";
    fs::remove_all(dest);
    ASSERT_EQ(run({CMAKE_COMMAND, "--install", BUILD_DIR}, {"DESTDIR=" + dest}).exit_code, 0);
    const std::string user_bundle = dest + VGS_USER_VST3_DIR "/Vellum Grist Saturator.vst3";
    const std::string user_lv2_bundle = dest + VGS_USER_LV2_DIR "/Vellum Grist Saturator.lv2";
    const std::string user_presets = dest + VGS_USER_VST3_DIR "/presets/Tresk.Sonwave/Vellum Grist Saturator";
    for (const std::string& path : tree(dest)) {
        if (!fs::is_directory(path)) {
            EXPECT_TRUE(path.rfind(user_bundle + "/", 0) == 0 || path.rfind(user_lv2_bundle + "/", 0) == 0 ||
                        path.rfind(user_presets + "/", 0) == 0)
                << path << " lies outside " << user_bundle << ", " << user_lv2_bundle << " and " << user_presets;
        }
    }
    // The factory presets in the user's VST 3 preset folder, where VST 3 hosts find them.
    const std::vector<std::string> bank = factory_files();
    ASSERT_GE(bank.size(), 12u);
    for (const std::string& file : bank)
        EXPECT_TRUE(fs::is_regular_file(user_presets + "/" + file)) << file;
    EXPECT_EQ(tree(user_presets).size(), bank.size());
    for (const char* file : {"/manifest.ttl", "/vellum_grist_saturator.ttl", "/vellum_grist_saturator.so",
                             "/vellum_grist_saturator_ui.so", "/middleman"})
        EXPECT_TRUE(fs::exists(user_lv2_bundle + file)) << file;
    EXPECT_TRUE(fs::exists(user_bundle + "/Contents/x86_64-linux/Vellum Grist Saturator.so"));
    EXPECT_TRUE(fs::exists(user_bundle + "/Contents/x86_64-linux/middleman"));
}

// A failed check must not leave the package on the machine.
struct purge_on_exit {
    bool armed = true;
    ~purge_on_exit()
    {
        if (armed && installed())
            run({"apt-get", "purge", "-y", "-o", "DPkg::Lock::Timeout=300", package}, {"DEBIAN_FRONTEND=noninteractive"});
    }
};

TEST(package_install, apt_installs_the_daw_finds_it_the_host_renders_and_purge_leaves_nothing)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "installing and purging a system package needs root; CI runs the suite as root";
    // Build trees on one machine install the same package: one run at a time.
    const int lock = open("/tmp/vgs-package-test.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    ASSERT_FALSE(installed()) << package << " is installed already; the test installs and purges it itself "
                              << "and will not remove an installation it did not make (apt-get purge " << package << ")";

    std::set<std::string> existed;
    for (const deb_entry& e : deb_contents())
        if (fs::exists(fs::symlink_status(e.path)))
            existed.insert(e.path);
    const std::set<std::string> vst3_before = tree("/usr/lib/vst3");
    const std::set<std::string> lv2_before = tree("/usr/lib/lv2");
    const std::set<std::string> share_before = tree("/usr/share/vst3");
    purge_on_exit guard;

    const std::vector<std::string> apt_env = {"DEBIAN_FRONTEND=noninteractive"};
    process_result install = run({"apt-get", "install", "-y", "-o", "DPkg::Lock::Timeout=300", deb}, apt_env);
    ASSERT_EQ(install.exit_code, 0) << install.output;
    ASSERT_EQ(run({"dpkg-query", "-W", "-f=${db:Status-Abbrev}", package}).output, "ii ");
    std::vector<std::string> listed;
    std::istringstream lines(run({"dpkg", "-L", package}).output);
    for (std::string line; std::getline(lines, line);)
        listed.push_back(line);
    for (const deb_entry& e : deb_contents()) {
        EXPECT_NE(std::find(listed.begin(), listed.end(), e.path), listed.end()) << e.path << " not in dpkg -L";
        EXPECT_TRUE(fs::exists(e.path)) << e.path;
    }

    // A user with nothing of the plug-in at home and a DAW that has never run.
    const std::string work = PACKAGE_WORK_DIR "/user";
    fs::remove_all(work);
    for (const char* sub : {"/home", "/config", "/cache", "/data"})
        fs::create_directories(work + sub);
    unsetenv("VST3_PATH");
    const std::vector<std::string> env = {"HOME=" + work + "/home", "XDG_CONFIG_HOME=" + work + "/config",
                                          "XDG_CACHE_HOME=" + work + "/cache", "XDG_DATA_HOME=" + work + "/data",
                                          "LD_LIBRARY_PATH=" ARDOUR_LIB_DIR};
    // The DAW ignores a cache entry for a module not at least a second older than it.
    struct stat module_stat;
    ASSERT_EQ(stat(system_module.c_str(), &module_stat), 0);
    while (time(nullptr) < module_stat.st_mtime + 2)
        usleep(100 * 1000);
    process_result scan = run({ARDOUR_VST3_SCANNER, "-f", system_bundle}, env);
    ASSERT_EQ(scan.exit_code, 0) << scan.output;
    std::string cached;
    for (const auto& f : fs::directory_iterator(work + "/cache/ardour7/vst"))
        cached += read_text(f.path());
    EXPECT_EQ(element_attributes(cached, "VST3Cache")["module"], system_module);
    const auto info = element_attributes(cached, "VST3Info");
    EXPECT_EQ(info.count("uid") ? info.at("uid") : "", "66AD22C7C20E462CB29447BBA4505C82");  // the component's class id
    EXPECT_EQ(info.count("vendor") ? info.at("vendor") : "", "Tresk.Sonwave");
    // The DAW's own search path, with no VST3_PATH: the session gets the plug-in only if
    // the DAW looks in /usr/lib/vst3 and finds the scanned bundle there.
    std::vector<std::string> create = {ARDOUR_LUA, ARDOUR_SCRIPTS "/create_session.lua", work + "/session", "s",
                                       "48000", "Vellum Grist Saturator", "preset=Crunch", "Drive=70"};
    std::vector<std::string> labels;
    for (const std::string& file : factory_files()) {
        labels.push_back(file.substr(0, file.size() - strlen(".vstpreset")));
        create.push_back("probe=" + labels.back());
    }
    process_result session;
    for (int attempt = 0; attempt < 3; attempt++) {  // its Lua host sometimes dies at exit
        fs::remove_all(work + "/session");
        session = run(create, env);
        if (session.signal == 0)
            break;
    }
    EXPECT_NE(session.output.find("vgs-param Drive 70\n"), std::string::npos) << session.output;
    // The DAW offers the bank from the system-wide preset folder, as factory presets, and
    // loads one of it.
    for (const std::string& label : labels)
        EXPECT_NE(session.output.find("vgs-preset-known factory " + label + "\n"), std::string::npos)
            << label << ": " << session.output;
    EXPECT_NE(session.output.find("vgs-param Tone 62.5\n"), std::string::npos) << session.output;
    EXPECT_FALSE(fs::exists(work + "/home/.vst3"));
    // LV2 hosts find the LV2 edition on their default path, /usr/lib/lv2.
    process_result listed_lv2 = run({"env", "-u", "LV2_PATH", "HOME=" + work + "/home", "lv2info", VGS_LV2_URI});
    EXPECT_EQ(listed_lv2.exit_code, 0) << listed_lv2.output;
    EXPECT_NE(listed_lv2.output.find("Binary:            file:///usr/lib/lv2/Vellum%20Grist%20Saturator.lv2/"
                                     "vellum_grist_saturator.so"),
              std::string::npos)
        << listed_lv2.output;

    // The installed host through the installed bundle sounds exactly as the build tree.
    std::vector<float> input(24000);
    for (size_t i = 0; i < input.size(); i++)
        input[i] = (float)(0.8 * std::sin(6.283185307179586 * 220.0 * (double)i / 48000.0));
    std::string error;
    ASSERT_TRUE(wav_write_mono(work + "/in.wav", input, 48000, &error)) << error;
    // The installed host finds the installed bank and renders a preset of it as the build tree does.
    process_result listing = run({"/usr/bin/vgs-host", "info", system_bundle}, env);
    EXPECT_NE(listing.output.find("presets: " + std::to_string(factory_files().size()) + " factory"), std::string::npos)
        << listing.output;
    wav_audio from_package, from_build, preset_package, preset_build;
    const struct {
        std::vector<std::string> settings;
        wav_audio *from_package, *from_build;
    } renders[] = {{{"--set", "Drive=70"}, &from_package, &from_build},
                   {{"--preset", "Lead"}, &preset_package, &preset_build}};
    for (const auto& c : renders) {
        for (auto [host, bundle, out] : {std::tuple{"/usr/bin/vgs-host", system_bundle, c.from_package},
                                         std::tuple{VGS_HOST, std::string(VGS_BUNDLE_DIR), c.from_build}}) {
            std::vector<std::string> argv = {host, "render", bundle, "-i", work + "/in.wav", "-o", work + "/out.wav", "-q"};
            argv.insert(argv.end(), c.settings.begin(), c.settings.end());
            process_result r = run(argv, env);
            ASSERT_EQ(r.exit_code, 0) << host << ": " << r.output;
            ASSERT_TRUE(wav_read(work + "/out.wav", out, &error)) << error;
            ASSERT_EQ(out->channels.size(), 1u);
        }
    }
    EXPECT_EQ(from_package.channels[0], from_build.channels[0]);
    EXPECT_EQ(preset_package.channels.at(0), preset_build.channels.at(0));
    EXPECT_NE(preset_package.channels.at(0), from_package.channels.at(0));
    size_t changed = 0;
    for (size_t i = 0; i < input.size(); i++)
        changed += from_package.channels[0].at(i) != input[i];
    EXPECT_GT(changed, input.size() * 9 / 10) << "the plug-in left the signal alone";

    process_result purge = run({"apt-get", "purge", "-y", "-o", "DPkg::Lock::Timeout=300", package}, apt_env);
    ASSERT_EQ(purge.exit_code, 0) << purge.output;
    EXPECT_FALSE(installed());
    for (const std::string& path : listed) {
        if (!existed.count(path)) {
            EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path << " remains after the purge";
        }
    }
    EXPECT_EQ(tree("/usr/lib/vst3"), vst3_before);
    EXPECT_EQ(tree("/usr/lib/lv2"), lv2_before);
    EXPECT_EQ(tree("/usr/share/vst3"), share_before);
    guard.armed = false;
}

}  // namespace
