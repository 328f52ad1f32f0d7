// The LV2 editor's descriptor, as lv2ui_descriptor returns it.
#pragma once

#include <lv2/ui/ui.h>

#include <cstdint>

const LV2UI_Descriptor* lv2_editor_descriptor(uint32_t index);
