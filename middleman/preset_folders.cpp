#include "preset_folders.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "preset/vst_preset.h"

namespace {

constexpr char suffix[] = ".vstpreset";
constexpr size_t suffix_n = sizeof suffix - 1;
// factory.txt names a dozen files; a list this long is not ours.
constexpr size_t factory_list_max_bytes = 16 * 1024;
constexpr int factory_limit = 256;

struct item_list {
    preset_item* items = nullptr;
    int count = 0;
    int capacity = 0;
};

bool push(item_list* list, const preset_item& item)
{
    if (list->count == list->capacity) {
        int grown = list->capacity ? list->capacity * 2 : 32;
        void* p = realloc(list->items, sizeof(preset_item) * (size_t)grown);
        if (!p)
            return false;
        list->items = (preset_item*)p;
        list->capacity = grown;
    }
    list->items[list->count++] = item;
    return true;
}

bool has_suffix(const char* name)
{
    size_t n = strlen(name);
    return n > suffix_n && strcmp(name + n - suffix_n, suffix) == 0;
}

// Loads one file into an item; false when it does not read.
bool load(const char* dir, const char* file, bool user, preset_item* out)
{
    char path[4096];
    if (snprintf(path, sizeof path, "%s/%s", dir, file) >= (int)sizeof path)
        return false;
    vst_preset p;
    if (vst_preset_load_file(path, &p) != 0)
        return false;
    memset(out, 0, sizeof *out);
    if (user) {
        // The user's files are known by their names, as every host shows them.
        size_t n = strlen(file) - suffix_n;
        if (n >= sizeof out->name)
            return false;
        memcpy(out->name, file, n);
        out->name[n] = 0;
    } else {
        snprintf(out->name, sizeof out->name, "%s", p.name);
    }
    memcpy(out->values, p.values, sizeof out->values);
    out->user = user;
    return true;
}

void read_factory(const char* resources_dir, item_list* list)
{
    char dir[4096], path[4096];
    if (snprintf(dir, sizeof dir, "%s/presets", resources_dir) >= (int)sizeof dir ||
        snprintf(path, sizeof path, "%s/factory.txt", dir) >= (int)sizeof path)
        return;
    FILE* f = fopen(path, "re");
    if (!f)
        return;
    static char text[factory_list_max_bytes + 1];
    size_t size = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[size] = 0;
    int listed = 0;
    for (char* line = text; *line && listed < factory_limit;) {
        char* end = strchr(line, '\n');
        char* next = end ? end + 1 : line + strlen(line);
        if (end)
            *end = 0;
        size_t n = strlen(line);
        if (n > 0 && line[n - 1] == '\r')
            line[--n] = 0;
        // Only plain file names inside the bank's own folder.
        preset_item item;
        if (n > 0 && !strchr(line, '/') && line[0] != '.' && has_suffix(line) &&
            load(dir, line, false, &item)) {
            if (!push(list, item))
                return;
            listed++;
        }
        line = next;
    }
}

int by_name(const void* a, const void* b)
{
    const preset_item* x = (const preset_item*)a;
    const preset_item* y = (const preset_item*)b;
    int c = strcasecmp(x->name, y->name);
    return c ? c : strcmp(x->name, y->name);
}

// The factory bank installed into the user's folder (a developer's install puts it
// there, and VST 3 hosts list it from there): the same name and values as a preset of
// the bank. Listed once, as the bank's.
bool is_bank_copy(const item_list* list, int factory_count, const preset_item& item)
{
    for (int i = 0; i < factory_count; i++)
        if (strcmp(list->items[i].name, item.name) == 0 &&
            memcmp(list->items[i].values, item.values, sizeof item.values) == 0)
            return true;
    return false;
}

void read_user(const char* user_dir, item_list* list)
{
    const int factory_count = list->count;
    DIR* dir = opendir(user_dir);
    if (!dir)
        return;
    item_list found;
    int seen = 0;
    // Bounded, however many files the folder holds.
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.' || !has_suffix(e->d_name))
            continue;
        if (++seen > 4 * preset_folders_user_limit)
            break;
        preset_item item;
        if (load(user_dir, e->d_name, true, &item) && !is_bank_copy(list, factory_count, item) &&
            !push(&found, item))
            break;
    }
    closedir(dir);
    // An empty folder leaves no array, and qsort must not be given a null one.
    if (found.count > 1)
        qsort(found.items, (size_t)found.count, sizeof(preset_item), by_name);
    for (int i = 0; i < found.count && i < preset_folders_user_limit; i++)
        if (!push(list, found.items[i]))
            break;
    free(found.items);
}

} // namespace

void preset_folders_read(const char* resources_dir, const char* user_dir, preset_item** items,
                         int* count, int* factory_count)
{
    item_list list;
    if (resources_dir)
        read_factory(resources_dir, &list);
    *factory_count = list.count;
    if (user_dir)
        read_user(user_dir, &list);
    *items = list.items;
    *count = list.count;
}

const char* preset_name_problem(const char* name)
{
    if (vst_preset_name_is_plain(name))
        return nullptr;
    if (!*name)
        return "Type a name first";
    if (strchr(name, '/'))
        return "A name cannot contain \xE2\x80\x9C/\xE2\x80\x9D";
    if (name[0] == '.')
        return "A name cannot begin with \xE2\x80\x9C.\xE2\x80\x9D";
    for (const char* c = name; *c; c++)
        if ((unsigned char)*c < 0x20 || *c == 0x7F)
            return "A name cannot contain control characters";
    if (strlen(name) > 100)
        return "That name is too long";
    return "That name is not plain text";
}

preset_save_result preset_folders_save(const char* user_dir, const char* name,
                                       const float values[mm_param_count], bool replace)
{
    if (preset_name_problem(name))
        return preset_bad_name;
    char path[4096];
    if (snprintf(path, sizeof path, "%s/%s%s", user_dir, name, suffix) >= (int)sizeof path) {
        errno = ENAMETOOLONG;
        return preset_save_failed;
    }
    struct stat st;
    if (!replace && lstat(path, &st) == 0)
        return preset_exists;
    vst_preset p = {};
    snprintf(p.name, sizeof p.name, "%s", name);
    snprintf(p.category, sizeof p.category, "User");
    memcpy(p.values, values, sizeof p.values);
    return vst_preset_save_file(path, &p) == 0 ? preset_saved : preset_save_failed;
}
