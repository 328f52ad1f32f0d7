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

#include <cstdio>

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
// 0 with *contents set; 0 with *contents null when the file is absent; -1 otherwise.
int read_data_file(char** contents, const char* first, ...) __attribute__((sentinel));

// Replaces the file's contents with text (up to its zero byte), making the directories
// above it when missing. Failures leave the file untouched and are not reported.
void write_data_file(const char* text, const char* first, ...) __attribute__((sentinel));

// The file opened with mode "a+" (created when absent), or null with errno set.
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
