// Output files written whole or not at all. The bytes go to a new temporary file beside
// the target; only when everything is written and on the disk does a rename put it in
// the target's place, so a full disk, a size limit or an interrupted render leaves the
// target as it was and no partial file behind. A target that exists and is not a
// regular file (a device such as /dev/null, a pipe) is written in place.
#pragma once

#include <cstddef>
#include <string>

struct replacement_file {
    std::string target;
    std::string temporary;  // empty when writing in place
    int fd = -1;
};

// Creates the temporary file (mode as the target has it, else as a new file gets it).
bool replacement_open(replacement_file* f, const std::string& target, std::string* error);
// All bytes at the current position.
bool replacement_write(replacement_file* f, const void* bytes, size_t size, std::string* error);
// Flushes the contents to the disk and closes; the target is not touched yet.
bool replacement_finish(replacement_file* f, std::string* error);
// Renames a finished temporary file over the target.
bool replacement_commit(replacement_file* f, std::string* error);
// Closes and removes the temporary file, whatever state it is in; the target stays.
void replacement_discard(replacement_file* f);
