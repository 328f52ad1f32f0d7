// The LV2 plug-in's descriptor, as lv2_descriptor returns it (also for tests that
// drive the plug-in without loading the bundle).
#pragma once

#include <lv2/core/lv2.h>

#include <cstdint>

const LV2_Descriptor* lv2_plugin_descriptor(uint32_t index);
