// The DAW's programs on a private copy of the built bundle: every run gets its own home,
// configuration, cache, data and plug-in folders, so that nothing a user or an earlier
// run left behind takes part, and the plug-in path below is the one the DAW uses.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "run_process.h"

struct daw_step {
    std::string name;
    double seconds;
};

struct daw_workspace {
    // The LV2 edition in the DAW (copied to work/lv2, found through lilv, no scan)
    // instead of the VST 3 one; set before daw_prepare.
    bool lv2 = false;
    std::string work;             // everything of the run lives below it
    std::string bundle;           // the VST 3 bundle: the copy in work/vst3, or the built one for LV2
    std::string scan_cache;       // the scanner's cache file for the bundle
    std::vector<std::string> env; // what the DAW's programs run with
    std::vector<daw_step> times;  // every program run, in order
    std::vector<std::string> crashes; // runs that died or hung and were repeated
};

// Empties `work` and lays it out, copies the bundle there back-dated (the DAW ignores a
// cache entry unless the module is at least a second older than the cache file) and
// runs the DAW's scanner on it. "" on success, else what failed.
std::string daw_prepare(daw_workspace* ws, const std::string& work);

// Runs one of the DAW's programs in the workspace's environment, its output in
// work/logs. Debian's Ardour 7.3 tools sometimes die of heap corruption while tearing
// down (in about one run in eight here, with or without the plug-in in the session), and
// on a loaded machine its exporter sometimes hangs for good (its butler and process
// threads waiting for each other, no plug-in code on any thread's stack): a run that a
// signal ended, or that was still running after a minute, is repeated after `prepare`
// and reported in `crashes`; a clean exit is still required of one of four attempts.
process_result daw_run(daw_workspace* ws, const std::string& step, const std::vector<std::string>& argv,
                       const std::function<void()>& prepare = nullptr);

// The plug-in's name in the DAW's lists.
extern const char* const daw_plugin_name;

// Creates the session `snapshot` in `dir` with create_session.lua at `rate`: one mono
// track "signal" with the plug-in on it, `options` handed on ("Title=value",
// "instances=N"). The output holds a "vgs-param Title value" line per parameter.
process_result daw_create_session(daw_workspace* ws, const std::string& dir, const std::string& snapshot, int rate,
                                  const std::vector<std::string>& options);
// Whether a session script ran to its end.
bool daw_script_finished(const process_result& r);

// A plain helper program (cp, touch, rm) outside the workspace's environment; true when
// it exits with 0.
bool run_plain(const std::vector<std::string>& argv);

std::string read_text_file(const std::string& path);
bool write_text_file(const std::string& path, const std::string& text);
