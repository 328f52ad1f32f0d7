// The presets the host finds: the factory bank in the bundle's resources (in the order of
// its factory.txt) and the user's in their VST 3 preset folder, and the lookup of
// `--preset NAME|FILE.vstpreset`. Every file is read through the preset reader, which
// trusts none of them.
#pragma once

#include <string>
#include <vector>

#include "preset/vst_preset.h"

struct found_preset {
    std::string path;
    std::string file_name;  // without ".vstpreset"
    bool factory = false;
    int error = 0;          // errno of a file that did not load; 0 when `preset` holds it
    vst_preset preset = {};
};

// BUNDLE/Contents/Resources/presets.
std::string bundle_preset_dir(const std::string& bundle_dir);

// The factory bank, then the user's presets (sorted by file name).
std::vector<found_preset> list_presets(const std::string& bundle_dir);

// A preset by file path (an argument ending in ".vstpreset" or holding a '/'), else by
// name: the factory preset of that name, else the user's. False with a message naming
// the file and what is wrong with it.
bool find_preset(const std::string& bundle_dir, const std::string& arg, vst_preset* out, std::string* error);

// Why a preset file was refused, in words.
std::string preset_error_text(int error);
