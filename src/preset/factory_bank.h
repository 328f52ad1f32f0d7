// The factory bank, defined once: every preset file, the LV2 presets and the bundles'
// lists are generated from this table at build time.
#pragma once

struct factory_preset {
    const char* name;      // also the file name, "<name>.vstpreset"
    const char* category;  // a musical category
    float values[6];       // plain values: Drive, Tone, Heat, Mix, Volume, Bypass
};

// In bank order; "Default" (the six defaults) first.
extern const factory_preset factory_bank[];
extern const int factory_bank_size;
