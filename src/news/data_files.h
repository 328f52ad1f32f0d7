// The news store's files: small texts shared by every instance of the plug-in in every
// process of the user, under "$XDG_DATA_HOME/Tresk.Sonwave" (else
// "$HOME/.local/share/Tresk.Sonwave", else the password entry's home directory).
// Each read and each replacement holds an exclusive flock on the file, so all instances
// take turns on it; a lock that stays taken for about a second fails the operation
// instead of holding up the caller's thread. The data directory and everything in it
// are private to the user (directories 0700, files 0600). Files are named by a
// null-terminated list of path components below the data directory, used verbatim
// ("a/b" names a deeper path).
#pragma once

#include <cstdint>
#include <cstdio>

// The longest text the store keeps or serves. The editor program drops any message over
// 1 MiB, and each reply puts a head of under 64 bytes before the text it carries. A longer
// text is not stored, and a longer file (left by a sync tool or a runaway script) is
// handled as a file that cannot be read: nothing of it is read or sent, and it is left as
// it is.
inline constexpr uint64_t news_text_limit = (1u << 20) - 64;

// A newly allocated concatenation of the null-terminated list of strings, or null
// when allocation fails.
char* concat_strings(const char* first, ...) __attribute__((sentinel));

// The newly allocated path of the components under the data directory; with
// directory_only, the path without its last component. Null when there is no home
// directory to be found or allocation fails.
char* data_path(int directory_only, const char* first, ...) __attribute__((sentinel));

// Makes every directory of the path (without its last component with directory_only):
// mode 0755 above the data directory, 0700 from the data directory down (existing ones
// there lose their group and other bits). 0, or -1 when a directory cannot be made.
int make_data_dirs(int directory_only, const char* first, ...) __attribute__((sentinel));

// Reads the whole file under its lock into a newly allocated, zero-terminated text.
// 0 with *contents set; 0 with *contents null when the file is absent; -1 otherwise
// (also for anything but a regular file, and for one over news_text_limit: EFBIG).
int read_data_file(char** contents, const char* first, ...) __attribute__((sentinel));

// Replaces the file's contents with text (up to its zero byte), making the directories
// above it when missing. The file is replaced in place and only whole: a text that cannot
// be stored in full (a full disk, a text over news_text_limit) leaves the old contents.
// 0, or -1 with errno and the file as it was; the news messages answer no replace.
int write_data_file(const char* text, const char* first, ...) __attribute__((sentinel));

// The file opened for reading and writing (not appending; created when absent), or null
// with errno set.
FILE* open_data_file(const char* first, ...) __attribute__((sentinel));

enum sync_result : int {
    sync_accepted = 0,
    sync_conflict = 1,
    sync_failed = -1,
};

// Conditional replace of token/name (or name alone when token is null) with a payload
// from the editor: either an 8-byte base revision, a separator byte and the new text,
// or "-", a separator byte and the new text, which only goes into an absent or empty
// file. The revision form is accepted when the file is empty or starts with the same
// 8 bytes. On sync_conflict, *current holds the file's whole contents (newly allocated);
// otherwise *current is null. A payload too short for its header fails untouched.
sync_result sync_data_file(const char* token, const char* name, const char* payload,
                           char** current);
