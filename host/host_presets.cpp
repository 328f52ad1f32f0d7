#include "host_presets.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

static const std::string suffix = ".vstpreset";

static bool has_suffix(const std::string& name) {
    return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string bundle_preset_dir(const std::string& bundle_dir) { return bundle_dir + "/Contents/Resources/presets"; }

static found_preset load(const std::string& dir, const std::string& file, bool factory) {
    found_preset f;
    f.path = dir + "/" + file;
    f.file_name = has_suffix(file) ? file.substr(0, file.size() - suffix.size()) : file;
    f.factory = factory;
    if (vst_preset_load_file(f.path.c_str(), &f.preset) != 0) f.error = errno;
    return f;
}

// The preset files of a folder, sorted; none when the folder is absent.
static std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name[0] != '.' && has_suffix(name)) names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

static std::string user_dir() {
    char* dir = vst_preset_user_dir();
    std::string out = dir ? dir : "";
    free(dir);
    return out;
}

std::vector<found_preset> list_presets(const std::string& bundle_dir) {
    std::vector<found_preset> found;
    const std::string factory = bundle_preset_dir(bundle_dir);
    // The bank's order is its list's; a bundle without the list shows its folder sorted.
    std::ifstream list(factory + "/factory.txt");
    std::vector<std::string> names;
    for (std::string line; std::getline(list, line);)
        if (has_suffix(line) && line.find('/') == std::string::npos && line[0] != '.') names.push_back(line);
    if (names.empty()) names = files_in(factory);
    for (const std::string& name : names) found.push_back(load(factory, name, true));
    const std::string user = user_dir();
    if (!user.empty())
        for (const std::string& name : files_in(user)) found.push_back(load(user, name, false));
    return found;
}

std::string preset_error_text(int error) {
    switch (error) {
        case EINVAL:
            return "not a preset of this plug-in (a malformed file, another plug-in's class id, a damaged "
                   "state chunk, or not a regular file)";
        case EFBIG:
            return "larger than " + std::to_string(vst_preset_max_bytes / 1024) + " KiB, the most a preset may be";
        default:
            return std::strerror(error);
    }
}

bool find_preset(const std::string& bundle_dir, const std::string& arg, vst_preset* out, std::string* error) {
    if (arg.find('/') != std::string::npos || has_suffix(arg)) {
        if (vst_preset_load_file(arg.c_str(), out) == 0) return true;
        *error = "preset " + arg + ": " + preset_error_text(errno);
        return false;
    }
    const std::string dirs[2] = {bundle_preset_dir(bundle_dir), user_dir()};
    for (const std::string& dir : dirs) {
        if (dir.empty()) continue;
        const std::string path = dir + "/" + arg + suffix;
        if (vst_preset_load_file(path.c_str(), out) == 0) return true;
        if (errno != ENOENT) {
            *error = "preset " + path + ": " + preset_error_text(errno);
            return false;
        }
    }
    *error = "no preset named \"" + arg + "\" among the factory presets (" + dirs[0] + ") or the user's (" +
             (dirs[1].empty() ? std::string("no home folder") : dirs[1]) + "); vgs-host info lists them";
    return false;
}
