// The static plug-in factory and the table of the two classes it makes.
#pragma once

#include "vst3/vst3_interfaces.h"

inline constexpr int factory_class_count = 2;

// One row of the class table; the three class-info calls are filled from it.
struct factory_class {
    vst3::TUID cid;
    const char* category;
    const char* name;
    vst3::uint32 class_flags;
    const char* sub_categories;
    const char* vendor;
    const char* version;
    const char* sdk_version;          // PClassInfo2 form
    const char* sdk_version_unicode;  // PClassInfoW form
};

extern const factory_class factory_classes[factory_class_count];
extern const vst3::TUID& component_class_id;
extern const vst3::TUID& controller_class_id;

inline constexpr const char* factory_vendor = "Tresk.Sonwave";
inline constexpr const char* factory_url = "https://www.tresk-sonwave.example";
inline constexpr const char* factory_email = "support@tresk-sonwave.example";

vst3::IPluginFactory* factory_instance(void);
