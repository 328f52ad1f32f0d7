// The presets the editor lists and saves: the factory bank in the bundle's resources
// ("presets/factory.txt" names its files in bank order) and the user's .vstpreset
// files in the VST 3 preset folder, which every VST 3 host lists too. Only this program
// reads and writes them, never the plug-in or the host's threads.
#pragma once

#include "preset_selector.h"

// At most this many of the user's presets are listed (the first by name).
inline constexpr int preset_folders_user_limit = 1000;

// Reads the factory bank, then every *.vstpreset in `user_dir` (null: none), sorted by
// name and shown by file name, but for copies of the bank's own presets (same name,
// same values), which are listed once, in the bank. A file that does not read is left
// out; nothing else fails. A malloc'd list (null when empty) and its counts.
void preset_folders_read(const char* resources_dir, const char* user_dir, preset_item** items,
                         int* count, int* factory_count);

// Why a typed name cannot be a preset's file name, in a few words; null for a plain name.
const char* preset_name_problem(const char* name);

enum preset_save_result {
    preset_saved,
    preset_bad_name, // nothing written
    preset_exists,   // nothing written: `replace` was not given
    preset_save_failed, // errno says why; nothing left behind
};

// Stores the values as the user's preset `name` ("<user_dir>/<name>.vstpreset", made
// beside and renamed into place; missing folders are made).
preset_save_result preset_folders_save(const char* user_dir, const char* name,
                                       const float values[mm_param_count], bool replace);
