// The module's exported entry points and the bundle directories they find.
#pragma once

#include "vst3/vst3_interfaces.h"

#define VGS_EXPORT extern "C" __attribute__((visibility("default")))

VGS_EXPORT bool ModuleEntry(void* library_handle);
VGS_EXPORT bool ModuleExit(void);
VGS_EXPORT vst3::IPluginFactory* GetPluginFactory(void);

// The directory that holds the library file (no trailing slash), and the bundle's
// Contents/Resources directory. Valid while a ModuleEntry is outstanding; borrowed.
const char* get_module_dir(void);
const char* get_resources_dir(void);

// Number of ModuleEntry calls not yet matched by ModuleExit.
int module_entry_count_now(void);
