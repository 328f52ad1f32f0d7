#include "module/module_entry.h"

#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "module/factory.h"

// Module-wide state: plain zero-initialised data, no static constructors.
static int module_entry_count;
static char* module_dir;
static char* resources_dir;

// Formats into a buffer of exactly the needed size (measured by a first pass).
static char* alloc_printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length < 0)
        return nullptr;
    char* text = (char*)malloc((size_t)length + 1);
    if (!text)
        return nullptr;
    va_start(args, format);
    vsnprintf(text, (size_t)length + 1, format, args);
    va_end(args);
    return text;
}

VGS_EXPORT bool ModuleEntry(void*)
{
    if (module_entry_count != 0) {
        module_entry_count++;
        return true;
    }
    Dl_info info;
    if (!dladdr((void*)&ModuleEntry, &info) || !info.dli_fname)
        return false;
    char* resolved = realpath(info.dli_fname, nullptr);
    if (!resolved)
        return false;

    // The library sits in Contents/<arch>/; resources are in Contents/Resources.
    char* slash = strrchr(resolved, '/');
    if (!slash || slash == resolved) {
        free(resolved);
        return false;
    }
    *slash = '\0';
    module_dir = strdup(resolved);
    if (!module_dir) {
        free(resolved);
        return false;
    }
    slash = strrchr(resolved, '/');
    if (!slash) {
        free(module_dir);
        module_dir = nullptr;
        free(resolved);
        return false;
    }
    *slash = '\0';
    resources_dir = alloc_printf("%s/Resources", resolved);
    if (!resources_dir) {
        free(module_dir);
        module_dir = nullptr;
        free(resolved);
        return false;
    }
    free(resolved);
    module_entry_count = 1;
    return true;
}

VGS_EXPORT bool ModuleExit(void)
{
    // An exit without a matching entry has nothing to undo: the count never goes
    // below zero and the paths are never freed twice.
    if (module_entry_count <= 0)
        return false;
    module_entry_count--;
    if (module_entry_count != 0)
        return true;
    free(module_dir);
    free(resources_dir);
    module_dir = nullptr;
    resources_dir = nullptr;
    return false;
}

VGS_EXPORT vst3::IPluginFactory* GetPluginFactory(void) { return factory_instance(); }

const char* get_module_dir(void) { return module_dir; }
const char* get_resources_dir(void) { return resources_dir; }
int module_entry_count_now(void) { return module_entry_count; }
