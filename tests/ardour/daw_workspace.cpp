#include "daw_workspace.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

std::string first_v3i(const std::string& dir)
{
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return "";
    std::string found;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > 4 && name.substr(name.size() - 4) == ".v3i")
            found = dir + "/" + name;
    }
    closedir(d);
    return found;
}

} // namespace

const char* const daw_plugin_name = "Vellum Grist Saturator";

bool run_plain(const std::vector<std::string>& argv)
{
    return run_process(argv, {}, "/dev/null", 60.0).exit_code == 0;
}

std::string read_text_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool write_text_file(const std::string& path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
    return out.good();
}

std::string daw_prepare(daw_workspace* ws, const std::string& work)
{
    ws->work = work;
    run_plain({"rm", "-rf", work});
    mkdir(work.c_str(), 0755);
    for (const char* sub : {"/home", "/config", "/cache", "/data", "/vst3", "/logs"})
        mkdir((work + sub).c_str(), 0755);
    // A fresh configuration per run: the plug-in path below counts only while the DAW's
    // configuration names none.
    ws->env = {"HOME=" + work + "/home",         "XDG_CONFIG_HOME=" + work + "/config",
               "XDG_CACHE_HOME=" + work + "/cache", "XDG_DATA_HOME=" + work + "/data",
               "VST3_PATH=" + work + "/vst3",    "LD_LIBRARY_PATH=" ARDOUR_LIB_DIR,
               "LV2_PATH=" + work + "/lv2",      std::string("VGS_PLUGIN_TYPE=") + (ws->lv2 ? "LV2" : "VST3")};
    for (const char* tool : {ARDOUR_LUA, ARDOUR_VST3_SCANNER})
        if (access(tool, X_OK) != 0)
            return std::string("missing program ") + tool +
                   " (Debian's ardour package: scripts/install-deps.sh installs it)";

    const std::string name = daw_plugin_name;
    if (ws->lv2) {
        ws->bundle = VGS_BUNDLE_DIR;
        mkdir((work + "/lv2").c_str(), 0755);
        return run_plain({"cp", "-a", VGS_LV2_BUNDLE_DIR, work + "/lv2/" + name + ".lv2"}) ? ""
                                                                                          : "copying the LV2 bundle";
    }
    ws->bundle = work + "/vst3/" + name + ".vst3";
    if (!run_plain({"cp", "-a", VGS_BUNDLE_DIR, ws->bundle}) ||
        !run_plain({"touch", "-h", "-d", "-1 minute", ws->bundle, ws->bundle + "/Contents",
                    ws->bundle + "/Contents/x86_64-linux", ws->bundle + "/Contents/x86_64-linux/" + name + ".so"}))
        return "copying the bundle";
    process_result scan = daw_run(ws, "scan", {ARDOUR_VST3_SCANNER, "-f", ws->bundle});
    if (scan.exit_code != 0)
        return "scanner: " + scan.output;
    ws->scan_cache = first_v3i(work + "/cache/ardour7/vst");
    if (ws->scan_cache.empty())
        return "the scanner wrote no cache file";
    return "";
}

process_result daw_run(daw_workspace* ws, const std::string& step, const std::vector<std::string>& argv,
                       const std::function<void()>& prepare)
{
    process_result p;
    for (int attempt = 1; attempt <= 4; attempt++) {
        if (attempt > 1 && prepare)
            prepare();
        std::string log = ws->work + "/logs/" + std::to_string(ws->times.size()) + ".log";
        // A run takes seconds; a minute leaves room for a loaded machine.
        p = run_process(argv, ws->env, log, 60.0);
        ws->times.push_back({attempt == 1 ? step : step + " (again)", p.seconds});
        if (p.signal == 0 && !p.timed_out)
            break;
        ws->crashes.push_back(step + (p.timed_out ? ": hung" : ": signal " + std::to_string(p.signal)));
    }
    return p;
}

process_result daw_create_session(daw_workspace* ws, const std::string& dir, const std::string& snapshot, int rate,
                                  const std::vector<std::string>& options)
{
    std::vector<std::string> argv = {ARDOUR_LUA, ARDOUR_SCRIPTS "/create_session.lua", dir, snapshot,
                                     std::to_string(rate), daw_plugin_name};
    argv.insert(argv.end(), options.begin(), options.end());
    return daw_run(ws, "create session", argv, [&] { run_plain({"rm", "-rf", dir}); });
}

bool daw_script_finished(const process_result& r)
{
    return r.exit_code == 0 && r.output.find("vgs-done") != std::string::npos;
}
